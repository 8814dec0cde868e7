// Registration and unregistration through the system's regsvr32.

#include "updater/core/com_registration.h"

#include <io.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/pe_exports.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"

namespace {

// regsvr32 runs a library's own registration code, which may hang: the wait
// for it is bounded.
constexpr DWORD kRegistrationWaitMs = 30000;

// The export names of a library mapped as an image resource: the loader maps
// its sections but resolves no import and calls no entry point, so nothing of
// the library runs. The handle's low bits tell how it was mapped.
bool ReadLibraryExports(HMODULE library, std::vector<std::string>& names) {
  const auto handle = reinterpret_cast<uintptr_t>(library);
  const auto* base = reinterpret_cast<const unsigned char*>(handle & ~uintptr_t{3});
  const pe_exports::Layout layout = (handle & 2) ? pe_exports::Layout::Image : pe_exports::Layout::File;

  // The readable extent is the whole allocation the loader made, whatever the
  // headers claim.
  std::size_t size = 0;
  MEMORY_BASIC_INFORMATION region;
  while (VirtualQuery(base + size, &region, sizeof(region)) == sizeof(region) &&
         region.AllocationBase == base && region.State == MEM_COMMIT &&
         !(region.Protect & (PAGE_NOACCESS | PAGE_GUARD))) {
    size += region.RegionSize;
  }
  return size != 0 && pe_exports::ReadExportNames(base, size, layout, names);
}

bool ExportsAll(const std::vector<std::string>& names, const std::vector<const char*>& wanted) {
  for (const char* want : wanted) {
    bool found = false;
    for (const std::string& name : names) found = found || name == want;
    if (!found) return false;
  }
  return true;
}

// Whether the library at path exports the four self-registration functions.
// It is only looked at, never started: its own code runs in the regsvr32
// process, where a crash or hang cannot stop the update.
bool IsComServer(const std::string& path, run_log::Event& entry) {
  UniqueModule library(
      LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
  if (!library) return entry.Error(GetLastError()).Failed("not a library");
  std::vector<std::string> exports;
  if (!ReadLibraryExports(library.get(), exports)) return entry.Failed("no exports");
  if (!ExportsAll(exports,
                  {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"})) {
    return entry.Failed("not a COM server, not registered");
  }
  return true;
}

// The system's own regsvr32, never one the client folder or the current
// folder holds. The next file (or a restore) waits until it has ended.
bool RunRegsvr32(const std::string& path, bool unregister) {
  // Only a dll or ocx that exists is looked at, and logged.
  if (_access(path.c_str(), 0) != 0 || !install_paths::HasComServerExtension(path)) return false;
  run_log::Event entry("regsvr32");
  entry.Add("file", path);
  if (unregister) entry.Add("unregister", true);
  if (!IsComServer(path, entry)) return false;
  char system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string regsvr = std::string(system) + "\\regsvr32.exe";
  std::string command = install_paths::RegsvrCommandLine(regsvr, path);
  if (unregister) command += " /u";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(regsvr.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return entry.Error(GetLastError()).Failed("not started");
  }
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  const DWORD waited = WaitForSingleObject(process.get(), kRegistrationWaitMs);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  entry.Add("exit_code", exitCode).Add("timed_out", waited == WAIT_TIMEOUT);
  return true;
}

}  // namespace

bool RegisterComServer(const std::string& path) { return RunRegsvr32(path, false); }

bool UnregisterComServer(const std::string& path) { return RunRegsvr32(path, true); }
