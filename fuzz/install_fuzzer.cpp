// Arbitrary bytes as a library's image and as a FilePath: the export reader
// must not read outside the bytes, and a FilePath that the containment rules
// accept must hold nothing that Windows could read as a way out of the
// client folder. The same bytes as an install journal: whatever it says, its
// play-back names only contained FilePaths.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/core/install_journal.h"
#include "updater/core/install_paths.h"
#include "updater/base/pe_exports.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckFilePath(const std::string& path) {
  if (!install_paths::IsContainedFilePath(path)) return;
  Require(path.size() >= 2 && path[0] == '\\' && path[1] != '\\');
  Require(path.find('/') == std::string::npos && path.find(':') == std::string::npos);
  Require(path.find('\0') == std::string::npos);
  Require(path.find("\\..\\") == std::string::npos && path.find("\\.\\") == std::string::npos);
  Require(path.back() != '\\' && path.back() != '.');
  // The folder part is a prefix that ends before a separator.
  const std::string folder = install_paths::FolderPart(path);
  Require(folder.empty() || (path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '\\'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Copies, so that ASan sees the exact bounds of each input.
  const std::vector<unsigned char> image(data, data + size);
  std::vector<std::string> names;
  for (pe_exports::Layout layout : {pe_exports::Layout::Image, pe_exports::Layout::File}) {
    if (pe_exports::ReadExportNames(image.data(), image.size(), layout, names)) {
      for (const std::string& name : names) Require(name.size() <= size);
    }
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckFilePath(text);
  // Both journal versions this updater reads.
  for (int version : {1, install_journal::kVersion}) {
    const install_journal::PlayBackPlan plan =
        MakePlayBackPlan(install_journal::ParseJournal(install_journal::HeaderLine(version) + text));
    Require(!plan.committed || plan.steps.empty());
    Require(plan.unfinishedStarts >= 0 && (version != 1 || plan.unfinishedStarts == 0));
    for (const install_journal::RestoreStep& step : plan.steps) {
      Require(install_paths::IsContainedFilePath(step.filePath));
      CheckFilePath(step.filePath);
      if (version == 1) Require(!step.knowsWritten);
      for (const install_journal::NewFile& written : step.written) Require(written.digest.size() == 64 || written.digest.size() == 32);
    }
  }
  return 0;
}
