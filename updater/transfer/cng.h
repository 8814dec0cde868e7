#pragma once
// SHA-256 and ECDSA P-256 verification through the system's CNG (bcrypt.dll).
// The library is loaded from the system folder only when one of these is
// called and released again afterwards, so the program starts where it is
// missing; there a SHA-256 check or a signed manifest fails like any other
// check. Any thread may call these; nothing is shared between calls.

#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <string>

#include "updater/base/scoped_handle.h"

using Sha256Digest = std::array<unsigned char, 32>;

// CNG objects are closed by functions of bcrypt.dll, which is loaded at run
// time, so each handle carries the function that closes it.
struct CngAlgorithm {
  BCRYPT_ALG_HANDLE handle;
  NTSTATUS(WINAPI* close)(BCRYPT_ALG_HANDLE, ULONG);
  bool operator!=(const CngAlgorithm& other) const { return handle != other.handle; }
};
struct CngAlgorithmTraits {
  using Handle = CngAlgorithm;
  static Handle Invalid() { return {nullptr, nullptr}; }
  static void Close(Handle algorithm) { algorithm.close(algorithm.handle, 0); }
};

// A hash or a key: both are destroyed by a one-argument function.
struct CngObject {
  void* handle;
  NTSTATUS(WINAPI* destroy)(void*);
  bool operator!=(const CngObject& other) const { return handle != other.handle; }
};
struct CngObjectTraits {
  using Handle = CngObject;
  static Handle Invalid() { return {nullptr, nullptr}; }
  static void Close(Handle object) { object.destroy(object.handle); }
};

using UniqueCngAlgorithm = ScopedHandle<CngAlgorithmTraits>;
using UniqueCngObject = ScopedHandle<CngObjectTraits>;

// bcrypt.dll and the functions the updater calls.
class CngLibrary {
 public:
  // False when the library or one of its functions is missing.
  bool Load();

  // An algorithm provider (BCRYPT_SHA256_ALGORITHM, BCRYPT_ECDSA_P256_ALGORITHM);
  // empty on failure.
  UniqueCngAlgorithm OpenAlgorithm(const wchar_t* name) const;

  // SHA-256 of the whole file at path (an ANSI path), read in fixed pieces.
  bool HashFile(const std::string& path, Sha256Digest& digest) const;
  // SHA-256 of bytes held in memory.
  bool Hash(const void* data, std::size_t size, Sha256Digest& digest) const;

  // Whether r||s is a valid ECDSA signature over digest by the P-256 public
  // key X||Y.
  bool VerifyP256(const std::array<unsigned char, 64>& xy, const Sha256Digest& digest,
                  const std::array<unsigned char, 64>& rs) const;

  // One SHA-256 computation, fed in pieces; the library must stay loaded
  // while it lives. Update and Finish are false once CNG failed.
  class Hasher {
   public:
    explicit Hasher(const CngLibrary& cng);
    bool Update(const void* data, std::size_t size);
    bool Finish(Sha256Digest& digest);

   private:
    const CngLibrary& cng_;
    UniqueCngAlgorithm algorithm_;
    UniqueCngObject hash_;
  };

 private:
  UniqueModule module_;
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider_ = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider_ = nullptr;
  decltype(&BCryptCreateHash) createHash_ = nullptr;
  decltype(&BCryptHashData) hashData_ = nullptr;
  decltype(&BCryptFinishHash) finishHash_ = nullptr;
  decltype(&BCryptDestroyHash) destroyHash_ = nullptr;
  decltype(&BCryptImportKeyPair) importKeyPair_ = nullptr;
  decltype(&BCryptVerifySignature) verifySignature_ = nullptr;
  decltype(&BCryptDestroyKey) destroyKey_ = nullptr;
};

// The SHA-256 of the file at path as 64 lowercase hex digits; the empty text
// when CNG is missing or the file cannot be read to its end (an empty text
// matches no digest, see HashMatches).
std::string FileSha256Text(const std::string& path);
