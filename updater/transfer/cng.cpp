#include "updater/transfer/cng.h"

#include <cstring>

#include "updater/base/hex_text.h"
#include "updater/transfer/file_pieces.h"

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

}  // namespace

CngLibrary::Hasher::Hasher(const CngLibrary& cng)
    : cng_(cng), algorithm_(cng.OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  // Without an object buffer CNG allocates the hash object itself.
  if (algorithm_ &&
      BCRYPT_SUCCESS(cng.createHash_(algorithm_.get().handle, &hash, nullptr, 0, nullptr, 0, 0))) {
    hash_.reset({hash, cng.destroyHash_});
  }
}

bool CngLibrary::Hasher::Update(const void* data, std::size_t size) {
  if (!hash_) return false;
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG piece = size > kFileReadPiece ? static_cast<ULONG>(kFileReadPiece) : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(cng_.hashData_(hash_.get().handle, bytes, piece, 0))) return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool CngLibrary::Hasher::Finish(Sha256Digest& digest) {
  return hash_ && BCRYPT_SUCCESS(cng_.finishHash_(hash_.get().handle, digest.data(), digest.size(), 0));
}

bool CngLibrary::Load() {
  // From the system folder only: a bcrypt.dll beside the updater, in the
  // folder that updates are written to, is never loaded.
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string path = std::string(folder, length) + "\\bcrypt.dll";
  module_.reset(LoadLibraryA(path.c_str()));
  if (!module_) return false;
  const HMODULE m = module_.get();
  return Resolve(m, "BCryptOpenAlgorithmProvider", openAlgorithmProvider_) &&
         Resolve(m, "BCryptCloseAlgorithmProvider", closeAlgorithmProvider_) &&
         Resolve(m, "BCryptCreateHash", createHash_) && Resolve(m, "BCryptHashData", hashData_) &&
         Resolve(m, "BCryptFinishHash", finishHash_) && Resolve(m, "BCryptDestroyHash", destroyHash_) &&
         Resolve(m, "BCryptImportKeyPair", importKeyPair_) &&
         Resolve(m, "BCryptVerifySignature", verifySignature_) && Resolve(m, "BCryptDestroyKey", destroyKey_);
}

UniqueCngAlgorithm CngLibrary::OpenAlgorithm(const wchar_t* name) const {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (openAlgorithmProvider_ == nullptr ||
      !BCRYPT_SUCCESS(openAlgorithmProvider_(&algorithm, name, nullptr, 0))) {
    return UniqueCngAlgorithm();
  }
  return UniqueCngAlgorithm({algorithm, closeAlgorithmProvider_});
}

bool CngLibrary::HashFile(const std::string& path, Sha256Digest& digest) const {
  Hasher hasher(*this);
  return ReadFilePieces(path, [&hasher](const unsigned char* piece,
                                        std::size_t size) { return hasher.Update(piece, size); }) &&
         hasher.Finish(digest);
}

bool CngLibrary::Hash(const void* data, std::size_t size, Sha256Digest& digest) const {
  Hasher hasher(*this);
  return hasher.Update(data, size) && hasher.Finish(digest);
}

bool CngLibrary::VerifyP256(const std::array<unsigned char, 64>& xy, const Sha256Digest& digest,
                            const std::array<unsigned char, 64>& rs) const {
  UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!algorithm) return false;

  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, xy.data(), xy.size());
  BCRYPT_KEY_HANDLE imported = nullptr;
  if (!BCRYPT_SUCCESS(importKeyPair_(algorithm.get().handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported, blob,
                                     sizeof blob, 0))) {
    return false;
  }
  const UniqueCngObject key({imported, destroyKey_});

  Sha256Digest hashed = digest;
  std::array<unsigned char, 64> signature = rs;
  return verifySignature_(key.get().handle, nullptr, hashed.data(), hashed.size(), signature.data(),
                          signature.size(), 0) == 0;
}

std::string FileSha256Text(const std::string& path) {
  CngLibrary cng;
  Sha256Digest digest;
  if (!cng.Load() || !cng.HashFile(path, digest)) return std::string();
  return EncodeHex(digest.data(), digest.size());
}
