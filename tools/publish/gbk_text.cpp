#include "tools/publish/gbk_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace publish {
namespace {

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts as much as it can; in and inLeft tell where it stopped.
  bool Convert(const char*& in, std::size_t& inLeft, std::string& out) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    std::vector<char> buffer(inLeft * 4 + 16);
    char* inPtr = const_cast<char*>(in);
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    const std::size_t result = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), buffer.size() - outLeft);
    in = inPtr;
    if (result == static_cast<std::size_t>(-1)) {
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
      return false;
    }
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::optional<std::string> Utf8ToGbk(const std::string& text) {
  Converter converter("GBK", "UTF-8");
  const char* in = text.data();
  std::size_t left = text.size();
  std::string out;
  if (!converter.Convert(in, left, out) || left != 0) return std::nullopt;
  return out;
}

bool LooksLikeUtf8(const std::string& text) {
  bool wide = false;
  for (unsigned char c : text) wide = wide || c >= 0x80;
  if (!wide) return false;
  Converter converter("UTF-16LE", "UTF-8");
  const char* in = text.data();
  std::size_t left = text.size();
  std::string out;
  return converter.Convert(in, left, out) && left == 0;
}

std::string GbkForDisplay(const std::string& text) {
  Converter converter("UTF-8", "GBK");
  const char* in = text.data();
  std::size_t left = text.size();
  std::string out;
  while (left != 0) {
    if (converter.Convert(in, left, out)) break;
    if (left == 0) break;
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(*in));
    out += escape;
    ++in;
    --left;
  }
  return out;
}

}  // namespace publish
