#pragma once
// MD5 (RFC 1321) and the digest checks of downloaded files. Portable: no
// Windows call, C stdio only.

#include <cstddef>
#include <cstdint>
#include <string>

// One digest computation: create, Update any number of times, Final once,
// then GetDigest. Not reset by Final and not fed again after it.
class Md5Context {
 public:
  Md5Context();
  virtual ~Md5Context() = default;

  void Update(const void* data, std::size_t length);
  void Final();
  // The 16 digest bytes: A, B, C, D, each low byte first.
  void GetDigest(unsigned char digest[16]) const;

 private:
  uint32_t count_[2];   // bytes fed so far: low word, high word
  uint32_t state_[4];   // A, B, C, D
  unsigned char buffer_[64];
};

// The digest as 32 lowercase hexadecimal digits, byte 0 first.
std::string FormatDigest(const unsigned char digest[16]);

// The digest text of the whole file at path (an ANSI path), read in fixed-size
// pieces; the empty text when the file cannot be opened or read to its end.
std::string FileMd5Text(const std::string& path);

// True when the texts have the same length and the same characters, ASCII
// letters compared without regard to case and double-byte (code page 936)
// characters compared whole. Nothing is trimmed. The empty digest text (a file
// that could not be hashed) matches nothing.
bool HashMatches(const std::string& digestText, const std::string& expectedText);
