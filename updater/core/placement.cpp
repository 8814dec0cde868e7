#include "updater/core/placement.h"

#include <windows.h>

#include <cstdint>
#include <vector>

#include "updater/base/scoped_handle.h"

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool IdentityOfHandle(HANDLE file, install_journal::PlacedFile& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.lastWrite = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                       info.ftLastWriteTime.dwLowDateTime;
  return true;
}

enum class WriteOver { Done, NotOpened, Cut };

// Writes the whole held file over destination, if destination can be opened
// for writing by no one else, or to a new destination (a rename cannot reach
// another volume, behind a junction); flushed, and its identity taken. Cut
// once the destination is open: it then holds part of the file, or nothing.
WriteOver WriteOverThroughHandle(HANDLE file, const std::string& destination,
                                 install_journal::PlacedFile& identity) {
  ClearReadOnly(destination);
  UniqueFile out(CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr,
                             IsFile(destination) ? TRUNCATE_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!out) return WriteOver::NotOpened;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return WriteOver::Cut;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return WriteOver::Cut;
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read)
      return WriteOver::Cut;
  }
  return FlushFileBuffers(out.get()) && IdentifyPlacedFile(out.get(), identity) ? WriteOver::Done
                                                                                : WriteOver::Cut;
}

}  // namespace

bool IsFile(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ClearReadOnly(const std::string& path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool FlushFileToDisk(const std::string& path) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}

bool IdentifyPlacedFile(HANDLE file, install_journal::PlacedFile& identity) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return SetFileTime(file, nullptr, nullptr, &now) && IdentityOfHandle(file, identity);
}

bool IdentityOf(const std::string& path, install_journal::PlacedFile& identity) {
  UniqueFile file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && IdentityOfHandle(file.get(), identity);
}

bool NobodyHasOpen(const std::string& path) {
  // Sharing nothing, the open succeeds only when no other handle is open.
  if (!UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)))
    return false;
  // A running program (this updater itself) may hold its file only through its
  // image mapping, which no share mode reveals (Wine), yet the file is refused
  // to writers. Moved into a work folder, it would keep that folder alive.
  const UniqueFile writable(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return writable || GetLastError() != ERROR_SHARING_VIOLATION;
}

bool MoveFileInPlace(const std::string& source, const std::string& destination) {
  if (IsFolder(destination)) return false;
  if (!IsFile(destination)) return MoveFileExA(source.c_str(), destination.c_str(), 0) != 0;
  if (!NobodyHasOpen(destination)) return false;
  ClearReadOnly(destination);
  return MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool PlaceHeldFile(FileDownload& download, const std::string& destination, const std::string& tempFile,
                   const std::function<bool()>& beforeAside, const std::function<bool()>& afterAside,
                   Placement& placement) {
  HeldFile& held = download.file;
  HANDLE file = held.get();
  if (file == nullptr || IsFolder(destination)) return false;
  // No rename may publish the file before its bytes are on disk: after a
  // power cut the name could otherwise hold the right length of zeros.
  if (!FlushFileBuffers(file)) return false;
  bool atTempName = false;
  WriteOver wrote = WriteOver::NotOpened;
  auto writeOver = [&] {
    // A copy cut by a kill is known by the file it came from.
    atTempName = atTempName || held.RenameTo(tempFile, true);
    if (atTempName) wrote = WriteOverThroughHandle(file, destination, placement.identity);
    return wrote == WriteOver::Done;
  };
  bool renamed = !IsFile(destination) && held.RenameTo(destination, false);
  bool placed = renamed || writeOver();
  if (!placed && wrote == WriteOver::NotOpened) {
    // A file in use cannot be overwritten but can usually be renamed: it
    // stays beside the new one as .bak until a later update replaces it.
    if (beforeAside && !beforeAside()) return false;
    const std::string aside = destination + ".bak";
    if (!IsFolder(aside)) {
      ClearReadOnly(aside);
      DeleteFileA(aside.c_str());
      if (MoveFileExA(destination.c_str(), aside.c_str(), 0) && afterAside && !afterAside()) return false;
    }
    renamed = !IsFile(destination) && held.RenameTo(destination, false);
    placed = renamed || writeOver();
  }
  placement.cutOver = wrote == WriteOver::Cut;
  if (!placed) return false;
  if (!renamed) {
    // Its bytes were copied: the downloaded file itself goes when it closes.
    held.DeleteOnClose();
  }
  const bool identified = !renamed || IdentifyPlacedFile(file, placement.identity);
  download.file.reset();
  placement.renamed = renamed;
  return identified;
}
