#include "updater/transfer/md5.h"

#include <cstring>

#include "updater/base/hex_text.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/file_pieces.h"

namespace {

inline uint32_t LoadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe32(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The auxiliary functions in forms that give the textbook values with as few
// operations as possible after their first argument, the word computed by the
// step before; the parts that do not depend on it can start early.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ (y ^ z); }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Keeps the compiler from reassociating a sum: x + t is then added to a
// before f, off the chain of dependent steps, instead of after it.
inline uint32_t Opaque(uint32_t v) {
#if defined(__GNUC__)
  __asm__("" : "+r"(v));
#endif
  return v;
}

// The message word and the constant are added first: they do not wait for b.
#define MD5_STEP(f, a, b, c, d, x, s, t) \
  a += Opaque((x) + (t));                \
  a += f(b, c, d);                       \
  a = Rotl(a, s) + b

// The step of the second round, with G(b, c, d) = (b & d) | (c & ~d) taken as
// the sum of its two halves (they never share a bit): the half without b is
// added while b is still being computed.
#define MD5_STEP_G(a, b, c, d, x, s, t) \
  a += Opaque((x) + (t));               \
  a += Opaque(c & ~d);                  \
  a += b & d;                           \
  a = Rotl(a, s) + b

// The compression function on one 64-byte block.
void Transform(uint32_t state[4], const unsigned char* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLe32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
  MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
  MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
  MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
  MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
  MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
  MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
  MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
  MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
  MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
  MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
  MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
  MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
  MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
  MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
  MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

  MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
  MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
  MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
  MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
  MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
  MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
  MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
  MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
  MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
  MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
  MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
  MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
  MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
  MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
  MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
  MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
  MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
  MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
  MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
  MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
  MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
  MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
  MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
  MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
  MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
  MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
  MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
  MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
  MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

  MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
  MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
  MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
  MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
  MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
  MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
  MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
  MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
  MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
  MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
  MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
  MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
  MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
  MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
  MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
  MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5_STEP
#undef MD5_STEP_G

}  // namespace

Md5Context::Md5Context() : count_{0, 0}, state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, buffer_{} {}

void Md5Context::Update(const void* data, std::size_t length) {
  const unsigned char* input = static_cast<const unsigned char*>(data);
  const std::size_t r = count_[0] & 63;
  const uint64_t total = ((static_cast<uint64_t>(count_[1]) << 32) | count_[0]) + length;
  count_[0] = static_cast<uint32_t>(total);
  count_[1] = static_cast<uint32_t>(total >> 32);

  if (r > 0) {
    if (r + length < 64) {
      std::memcpy(buffer_ + r, input, length);
      return;
    }
    std::memcpy(buffer_ + r, input, 64 - r);
    Transform(state_, buffer_);
    input += 64 - r;
    length -= 64 - r;
  }
  for (; length >= 64; input += 64, length -= 64) Transform(state_, input);
  if (length > 0) std::memcpy(buffer_, input, length);
}

void Md5Context::Final() {
  unsigned char bits[8];
  StoreLe32(count_[0] << 3, bits);
  StoreLe32((count_[1] << 3) | (count_[0] >> 29), bits + 4);

  static const unsigned char kPadding[64] = {0x80};
  const std::size_t r = count_[0] & 63;
  Update(kPadding, r < 56 ? 56 - r : 120 - r);
  Update(bits, 8);
}

void Md5Context::GetDigest(unsigned char digest[16]) const {
  for (int i = 0; i < 4; ++i) StoreLe32(state_[i], digest + 4 * i);
}

std::string FormatDigest(const unsigned char digest[16]) { return EncodeHex(digest, 16); }

std::string FileMd5Text(const std::string& path) {
  Md5Context context;
  const bool read = ReadFilePieces(path, [&context](const unsigned char* piece, std::size_t size) {
    context.Update(piece, size);
    return true;
  });
  if (!read) return std::string();
  context.Final();
  unsigned char digest[16];
  context.GetDigest(digest);
  return FormatDigest(digest);
}

bool HashMatches(const std::string& digestText, const std::string& expectedText) {
  if (digestText.empty()) return false;
  return EqualsIgnoreAsciiCaseMb(digestText, expectedText);
}
