#include <cstdio>
#include <iostream>
#include <memory>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_crypto.h"

namespace publish {
namespace {

int Keygen(const std::string& privatePath, const std::string& publicPath) {
  std::string error;
  if (!GenerateKeyPair(privatePath, publicPath, error)) return Refuse(error);
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
  if (!key) return Refuse(error);
  // Printed even with --quiet: the id is the command's whole answer.
  std::printf("%s\n", KeyId(key.get()).c_str());
  return kExitOk;
}

}  // namespace

Command AddKeygenCommand(CLI::App& app, CommonOptions& common) {
  struct Paths {
    std::string privatePath, publicPath;
  };
  auto paths = std::make_shared<Paths>();
  CLI::App* keygen =
      app.add_subcommand("keygen", "Make a new P-256 signing key pair (the private key gets mode 0600).");
  keygen->add_option("PRIVATE", paths->privatePath, "Private key file to create (PEM)")->required();
  keygen->add_option("PUBLIC", paths->publicPath, "Public key file to create (PEM); build Torvane with it")
      ->required();
  AddQuietFlag(*keygen, common);
  return {keygen, [paths] { return Keygen(paths->privatePath, paths->publicPath); }};
}

Command AddKeyIdCommand(CLI::App& app, CommonOptions& common) {
  auto publicPath = std::make_shared<std::string>();
  CLI::App* keyid = app.add_subcommand("keyid", "Print the key id of a public key (what --drop-key takes).");
  keyid->add_option("PUBLIC", *publicPath, "Public key file (PEM)")->required()->check(CLI::ExistingFile);
  AddQuietFlag(*keyid, common);
  return {keyid, [publicPath] { return KeyIdOf(*publicPath); }};
}

}  // namespace publish
