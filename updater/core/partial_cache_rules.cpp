#include "updater/core/partial_cache_rules.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "updater/transfer/md5.h"

namespace partial_cache {
namespace {

constexpr const char kHeadMagic[] = "TorvanePartial 1";
// Longer than any header line WinINet hands back.
constexpr std::size_t kMaxValidatorChars = 500;

bool IsLowerHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The decimal number text[from, end) of 1 to 18 digits; nullopt otherwise.
std::optional<int64_t> ParseCount(const std::string& text, std::size_t from, std::size_t end) {
  if (end == from || end - from > 18) return std::nullopt;
  int64_t value = 0;
  for (std::size_t i = from; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

std::string EntryKey(const std::string& url, const std::string& md5Expected,
                     const std::string& sha256Expected) {
  const std::string text = url + "\n" + md5Expected + "\n" + sha256Expected;
  Md5Context context;
  context.Update(text.data(), text.size());
  context.Final();
  unsigned char digest[16];
  context.GetDigest(digest);
  return FormatDigest(digest);
}

std::string FormatHead(const Head& head) {
  return std::string(kHeadMagic) + "\n" + std::to_string(head.total) + "\n" + head.validator + "\n" +
         std::to_string(head.vouched) + "\n";
}

std::optional<Head> ParseHead(const std::string& text) {
  const std::string magic = std::string(kHeadMagic) + "\n";
  if (text.compare(0, magic.size(), magic) != 0) return std::nullopt;
  const std::size_t totalEnd = text.find('\n', magic.size());
  const std::optional<int64_t> total =
      totalEnd == std::string::npos ? std::nullopt : ParseCount(text, magic.size(), totalEnd);
  if (!total) return std::nullopt;
  Head head;
  head.total = *total;
  const std::size_t validatorEnd = text.find('\n', totalEnd + 1);
  if (validatorEnd == std::string::npos) return std::nullopt;
  head.validator = text.substr(totalEnd + 1, validatorEnd - totalEnd - 1);
  if (head.total <= 0 || head.validator.empty() || head.validator.size() > kMaxValidatorChars ||
      head.validator.find('\r') != std::string::npos) {
    return std::nullopt;
  }
  // An older updater's record ends here and vouches for no byte.
  if (validatorEnd + 1 == text.size()) return head;
  const std::size_t vouchedEnd = text.find('\n', validatorEnd + 1);
  if (vouchedEnd == std::string::npos || vouchedEnd + 1 != text.size()) return std::nullopt;
  const std::optional<int64_t> vouched = ParseCount(text, validatorEnd + 1, vouchedEnd);
  if (!vouched || *vouched > head.total) return std::nullopt;
  head.vouched = *vouched;
  return head;
}

int64_t KeptLength(const Head& head, int64_t partSize) {
  if (partSize <= 0 || partSize > head.total) return 0;
  const int64_t kept = std::min(head.vouched, partSize);
  return std::min(kept, head.total - 1);
}

bool VouchDue(int64_t unvouchedBytes, uint64_t msSinceVouch) {
  return unvouchedBytes >= kVouchEveryBytes || (unvouchedBytes > 0 && msSinceVouch >= kVouchEveryMs);
}

std::optional<std::string> KeyOfName(const std::string& name) {
  for (const char* suffix : {kPartSuffix, kHeadSuffix}) {
    if (!EndsWith(name, suffix)) continue;
    const std::string key = name.substr(0, name.size() - std::strlen(suffix));
    if (key.size() == 32 && IsLowerHex(key)) return key;
  }
  return std::nullopt;
}

std::vector<std::string> NamesToPrune(const std::vector<FolderFile>& folder, int64_t now,
                                      const std::vector<std::string>* continuable, std::size_t keepAtMost) {
  std::map<std::string, int64_t> newest;  // key -> the later write of its files
  for (const FolderFile& file : folder) {
    const std::optional<std::string> key = KeyOfName(file.name);
    if (!key) continue;
    auto [it, added] = newest.emplace(*key, file.writtenAt);
    if (!added) it->second = std::max(it->second, file.writtenAt);
  }
  std::vector<std::pair<int64_t, std::string>> kept;  // (written, key)
  std::vector<std::string> dropped;
  for (const auto& [key, writtenAt] : newest) {
    const bool named = continuable == nullptr ||
                       std::find(continuable->begin(), continuable->end(), key) != continuable->end();
    // A date ahead of the clock counts as new: the clock went back.
    if (named && now - writtenAt <= kMaxEntryAgeSeconds) {
      kept.emplace_back(writtenAt, key);
    } else {
      dropped.push_back(key);
    }
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t i = keepAtMost; i < kept.size(); ++i) dropped.push_back(kept[i].second);

  std::vector<std::string> names;
  for (const FolderFile& file : folder) {
    const std::optional<std::string> key = KeyOfName(file.name);
    if (key && std::find(dropped.begin(), dropped.end(), *key) != dropped.end()) names.push_back(file.name);
  }
  return names;
}

}  // namespace partial_cache
