#include "tools/publish/publish_crypto.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include "tools/publish/publish_files.h"
#include "updater/base/hex_text.h"
#include "updater/transfer/file_pieces.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, EcdsaSigFree>;

constexpr std::size_t kCoordinateBytes = 32;

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool IsP256(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1) return false;
  return std::strcmp(group, SN_X9_62_prime256v1) == 0;
}

// Hands OpenSSL the passphrase given, or none: never a prompt on the terminal.
struct Passphrase {
  const std::string* text = nullptr;
  bool asked = false;
};

int GivePassphrase(char* buffer, int size, int /*writing*/, void* user) {
  Passphrase* passphrase = static_cast<Passphrase*>(user);
  passphrase->asked = true;
  if (!passphrase->text || passphrase->text->size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, passphrase->text->data(), passphrase->text->size());
  return static_cast<int>(passphrase->text->size());
}

Pkey LoadKey(const std::string& path, bool isPrivate, const std::string* passphraseText, std::string& error) {
  Bio bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) {
    error = path + ": cannot open: " + std::strerror(errno);
    ERR_clear_error();
    return nullptr;
  }
  Passphrase passphrase{passphraseText};
  Pkey key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &passphrase)
                     : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!key && passphrase.asked) {
    error = path + (passphraseText
                        ? ": the passphrase does not open this key"
                        : ": protected by a passphrase; give it with --pass env:VAR or --pass file:PATH");
    return nullptr;
  }
  if (!key) {
    error = path + (isPrivate ? ": not a PEM private key" : ": not a PEM public key (SubjectPublicKeyInfo)");
    return nullptr;
  }
  if (!IsP256(key.get())) {
    error = path + ": not a P-256 (prime256v1) EC key";
    return nullptr;
  }
  return key;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

std::string HexText(const Bytes& data) { return EncodeHex(data.data(), data.size()); }

Bytes Sha256(const std::string& data) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr);
  digest.resize(size);
  return digest;
}

struct DigestPair::State {
  MdCtx sha{EVP_MD_CTX_new()};
  Md5Context md5;
  uint64_t size = 0;
};

DigestPair::DigestPair() : state_(std::make_unique<State>()) {
  EVP_DigestInit_ex(state_->sha.get(), EVP_sha256(), nullptr);
}

DigestPair::~DigestPair() = default;

void DigestPair::Update(const void* data, std::size_t size) {
  EVP_DigestUpdate(state_->sha.get(), data, size);
  state_->md5.Update(data, size);
  state_->size += size;
}

FileDigests DigestPair::Final() {
  unsigned char sha[EVP_MAX_MD_SIZE];
  unsigned int shaSize = 0;
  EVP_DigestFinal_ex(state_->sha.get(), sha, &shaSize);
  state_->md5.Final();
  unsigned char md5[16];
  state_->md5.GetDigest(md5);
  return FileDigests{FormatDigest(md5), EncodeHex(sha, shaSize), state_->size};
}

std::optional<FileDigests> DigestFile(const std::string& path) {
  DigestPair digests;
  const bool read = ReadFilePieces(path, [&digests](const unsigned char* piece, std::size_t size) {
    digests.Update(piece, size);
    return true;
  });
  if (!read) return std::nullopt;
  return digests.Final();
}

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, std::string& error) {
  Pkey key(EVP_EC_gen("P-256"));
  if (!key) {
    error = "key generation failed: " + OpenSslError();
    return false;
  }
  Bio privatePem(BIO_new(BIO_s_mem()));
  Bio publicPem(BIO_new(BIO_s_mem()));
  if (!privatePem || !publicPem ||
      PEM_write_bio_PrivateKey(privatePem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicPem.get(), key.get()) != 1) {
    error = "cannot encode the key: " + OpenSslError();
    return false;
  }
  if (access(publicPath.c_str(), F_OK) == 0) {
    error = publicPath + ": already exists; refusing to replace a key file";
    return false;
  }
  if (!WriteNewFile(privatePath, BioText(privatePem.get()), 0600, error)) return false;
  if (!WriteNewFile(publicPath, BioText(publicPem.get()), 0644, error)) {
    ::unlink(privatePath.c_str());
    return false;
  }
  return true;
}

Pkey LoadPrivateKey(const std::string& path, std::string& error, const std::string* passphrase) {
  return LoadKey(path, true, passphrase, error);
}
Pkey LoadPublicKey(const std::string& path, std::string& error) {
  return LoadKey(path, false, nullptr, error);
}

Bytes PublicPoint(EVP_PKEY* key) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x);
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
  Bn ownX(x), ownY(y);
  if (!x || !y) return {};
  Bytes point(2 * kCoordinateBytes);
  BN_bn2binpad(x, point.data(), kCoordinateBytes);
  BN_bn2binpad(y, point.data() + kCoordinateBytes, kCoordinateBytes);
  return point;
}

std::string KeyId(EVP_PKEY* key) {
  const Bytes point = PublicPoint(key);
  if (point.empty()) return std::string();
  const Bytes digest = Sha256(std::string(point.begin(), point.end()));
  return EncodeHex(digest.data(), 8);
}

Bytes SignMessage(EVP_PKEY* privateKey, const std::string& message) {
  MdCtx ctx(EVP_MD_CTX_new());
  std::size_t derSize = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, privateKey) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &derSize, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1) {
    ERR_clear_error();
    return {};
  }
  Bytes der(derSize);
  if (EVP_DigestSign(ctx.get(), der.data(), &derSize, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1) {
    ERR_clear_error();
    return {};
  }
  const unsigned char* p = der.data();
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSize)));
  if (!sig) return {};
  Bytes value(2 * kCoordinateBytes);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), value.data(), kCoordinateBytes) < 0 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), value.data() + kCoordinateBytes, kCoordinateBytes) < 0) {
    return {};
  }
  return value;
}

bool VerifyMessage(EVP_PKEY* publicKey, const std::string& message, const Bytes& value) {
  if (value.size() != 2 * kCoordinateBytes) return false;
  EcdsaSig sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(value.data(), kCoordinateBytes, nullptr);
  BIGNUM* s = BN_bin2bn(value.data() + kCoordinateBytes, kCoordinateBytes, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
  if (derSize <= 0) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  const bool ok =
      ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, publicKey) == 1 &&
      EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(derSize),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  OPENSSL_free(der);
  ERR_clear_error();
  return ok;
}

}  // namespace publish
