#include "updater/transfer/patch_file.h"

#include <windows.h>

#include "updater/base/scoped_handle.h"
#include "updater/transfer/delta_patch.h"

namespace {

struct ViewTraits {
  using Handle = const void*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle view) { UnmapViewOfFile(view); }
};
using UniqueView = ScopedHandle<ViewTraits>;

// A whole file mapped for reading. An empty file cannot be mapped and is
// simply an empty span.
class ReadOnlyMapping {
 public:
  bool Open(const std::string& path) {
    file_.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file_ && Map(file_.get());
  }
  // A file opened by the caller, who keeps it open while this is mapped.
  bool Map(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return false;
    if (static_cast<unsigned long long>(size.QuadPart) > static_cast<SIZE_T>(-1)) return false;
    span_.size = static_cast<std::size_t>(size.QuadPart);
    if (span_.size == 0) return true;
    mapping_.reset(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping_) return false;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
    span_.data = static_cast<const unsigned char*>(view_.get());
    return static_cast<bool>(view_);
  }
  delta::ByteSpan span() const { return span_; }

 private:
  UniqueFile file_;
  UniqueHandle mapping_;
  UniqueView view_;
  delta::ByteSpan span_;
};

// A page in the base that cannot be read (a file cut under the mapping)
// raises an exception instead of returning; the base is the client's own
// file, opened without write sharing, so that cannot happen while mapped.
PatchFileStatus ApplyMapped(const ReadOnlyMapping& base, const ReadOnlyMapping& patch, HANDLE out,
                            const std::function<bool(const unsigned char*, std::size_t)>& onPiece) {
  bool stopped = false;
  const delta::PatchStatus status =
      delta::ApplyPatch(patch.span(), base.span(), [&](const unsigned char* data, std::size_t size) {
        DWORD written = 0;
        if (!WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr) || written != size)
          return false;
        stopped = onPiece && !onPiece(data, size);
        return !stopped;
      });
  if (status == delta::PatchStatus::kApplied) return PatchFileStatus::kApplied;
  return stopped ? PatchFileStatus::kStopped : PatchFileStatus::kFailed;
}

}  // namespace

bool ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& outPath) {
  ReadOnlyMapping base, patch;
  if (!base.Open(basePath) || !patch.Open(patchPath)) return false;
  UniqueFile out(CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  return out && ApplyMapped(base, patch, out.get(), nullptr) == PatchFileStatus::kApplied;
}

PatchFileStatus ApplyPatchFile(const std::string& basePath, HANDLE patch, HANDLE out,
                               uint64_t maxTargetLength,
                               const std::function<bool(const unsigned char*, std::size_t)>& onPiece) {
  ReadOnlyMapping base, patchMapping;
  if (!patchMapping.Map(patch)) return PatchFileStatus::kUnreadable;
  // The header's target bounds the output: a lying header is refused before
  // a byte is written, however little the patch itself weighs.
  delta::PatchHeader header;
  if (!delta::ReadPatchHeader(patchMapping.span(), header)) return PatchFileStatus::kFailed;
  if (header.targetLength > maxTargetLength) return PatchFileStatus::kTargetTooLong;
  if (patchMapping.span().size >= header.targetLength) return PatchFileStatus::kNotSmaller;
  if (!base.Open(basePath)) return PatchFileStatus::kUnreadable;
  return ApplyMapped(base, patchMapping, out, onPiece);
}
