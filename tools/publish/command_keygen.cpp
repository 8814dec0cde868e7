#include <cstdio>
#include <iostream>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_crypto.h"

namespace publish {

int Keygen(const std::string& privatePath, const std::string& publicPath) {
  std::string error;
  if (!GenerateKeyPair(privatePath, publicPath, error)) {
    Fail(error);
    return kExitFailed;
  }
  std::string ignored;
  Pkey key = LoadPublicKey(publicPath, ignored);
  std::cout << "wrote " << privatePath << " (private, mode 0600: keep it off the update server)\n"
            << "wrote " << publicPath << " (public: build Torvane with it)\n"
            << "key id " << (key ? KeyId(key.get()) : "?") << "\n";
  return kExitOk;
}

int KeyIdOf(const std::string& publicPath) {
  std::string error;
  Pkey key = LoadPublicKey(publicPath, error);
  if (!key) {
    Fail(error);
    return kExitFailed;
  }
  // Printed even with --quiet: the id is the command's whole answer.
  std::printf("%s\n", KeyId(key.get()).c_str());
  return kExitOk;
}

}  // namespace publish
