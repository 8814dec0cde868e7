#pragma once
// The publisher's keys, digests and signatures, on OpenSSL's libcrypto.
//
// Keys are P-256 (PEM: PKCS#8 for the private key, SubjectPublicKeyInfo for the
// public one). A signature is ECDSA over SHA-256 of the manifest's bytes,
// stored as r||s (32 bytes each, big-endian), the form CNG verifies; OpenSSL
// speaks DER, so both directions are converted here.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace publish {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

using Bytes = std::vector<unsigned char>;

// Lowercase hex digits of the bytes (EncodeHex of the updater's rules).
std::string HexText(const Bytes& data);

Bytes Sha256(const std::string& data);

// Digests of a whole file as lowercase hex, read in pieces; empty when the
// file cannot be read to its end.
struct FileDigests {
  std::string md5;
  std::string sha256;
  uint64_t size = 0;
};
std::optional<FileDigests> DigestFile(const std::string& path);

// Streaming SHA-256 + MD5 for bodies that arrive in pieces.
class DigestPair {
 public:
  DigestPair();
  ~DigestPair();
  DigestPair(const DigestPair&) = delete;
  DigestPair& operator=(const DigestPair&) = delete;
  void Update(const void* data, std::size_t size);
  FileDigests Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A new P-256 key pair written as PEM files: the private one created with mode
// 0600 and never over an existing file. error says why on failure.
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, std::string& error);

// P-256 keys from PEM files; null with error set when the file is missing, is
// not PEM of the right kind, or holds a key of another curve. An encrypted
// private key opens only with passphrase; there is never a prompt.
Pkey LoadPrivateKey(const std::string& path, std::string& error, const std::string* passphrase = nullptr);
Pkey LoadPublicKey(const std::string& path, std::string& error);

// The public point X||Y (64 bytes, big-endian coordinates).
Bytes PublicPoint(EVP_PKEY* key);

// The key id: the first 8 bytes of SHA-256 over X||Y, as 16 lowercase hex digits.
std::string KeyId(EVP_PKEY* key);

// r||s (64 bytes) over SHA-256 of message; empty on failure.
Bytes SignMessage(EVP_PKEY* privateKey, const std::string& message);
// True when value (r||s, 64 bytes) signs message under publicKey.
bool VerifyMessage(EVP_PKEY* publicKey, const std::string& message, const Bytes& value);

}  // namespace publish
