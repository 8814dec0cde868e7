// Starts a program with an exact command line, which `wine prog args` cannot
// give (it quotes and joins the arguments itself), waits for it and returns its
// exit code. The command line comes from QUILLET_LAUNCH_COMMAND and the
// program, when the line alone does not name it as CreateProcess reads it,
// from QUILLET_LAUNCH_PROGRAM; the time limit in milliseconds from the first
// argument (default 20000). Prints
// "timeout" and returns 259 when the program outlives the limit.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "helper/scoped_handle.h"

int wmain(int argc, wchar_t** argv) {
  const DWORD limit = argc > 1 ? static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) : 20000;
  std::vector<wchar_t> command(32768);
  if (!GetEnvironmentVariableW(L"QUILLET_LAUNCH_COMMAND", command.data(), static_cast<DWORD>(command.size()))) {
    std::fprintf(stderr, "QUILLET_LAUNCH_COMMAND is not set\n");
    return 2;
  }
  std::vector<wchar_t> program(32768);
  const bool named = GetEnvironmentVariableW(L"QUILLET_LAUNCH_PROGRAM", program.data(),
                                             static_cast<DWORD>(program.size())) > 0;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(named ? program.data() : nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
    return 3;
  }
  const quillet::UniqueHandle thread(process.hThread), child(process.hProcess);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(child.get(), limit) == WAIT_OBJECT_0) {
    GetExitCodeProcess(child.get(), &code);
  } else {
    std::printf("timeout\n");
    TerminateProcess(child.get(), 1);
  }
  return static_cast<int>(code);
}
