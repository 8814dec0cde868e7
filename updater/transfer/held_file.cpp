#include "updater/transfer/held_file.h"

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kHeldAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

HANDLE OpenHeld(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), kHeldAccess, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

std::wstring WideText(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

}  // namespace

HeldFile HeldFile::Create(const std::string& path) { return HeldFile(OpenHeld(path, CREATE_ALWAYS)); }

HeldFile HeldFile::Open(const std::string& path) { return HeldFile(OpenHeld(path, OPEN_EXISTING)); }

int64_t HeldFile::Size() const {
  LARGE_INTEGER size;
  return file_ && GetFileSizeEx(file_.get(), &size) ? size.QuadPart : -1;
}

bool HeldFile::SetLength(int64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  return file_ && SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file_.get());
}

bool HeldFile::DeleteOnClose() {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return file_ &&
         SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool HeldFile::RenameTo(const std::string& destination, bool replace) {
  const std::wstring name = WideText(destination);
  if (!file_ || name.empty()) return false;
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  memcpy(info->FileName, name.data(), info->FileNameLength);
  return SetFileInformationByHandle(file_.get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}
