// The application manifest that Windows reads from Torvane.exe before it runs
// a line of it: without one, the program is treated as a legacy program.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "updater/base/scoped_handle.h"

namespace {

std::string ManifestOf(const char* program) {
  const UniqueModule image(
      LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!image) return "";
  HRSRC found = FindResourceA(image.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  HGLOBAL loaded = found ? LoadResource(image.get(), found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return "";
  return std::string(static_cast<const char*>(bytes), SizeofResource(image.get(), found));
}

TEST(ApplicationManifest, TorvaneRunsAsInvokerAndNamesWindows7To11) {
  const std::string manifest = ManifestOf(TORVANE_EXE);
  ASSERT_FALSE(manifest.empty()) << TORVANE_EXE;
  for (const char* want : {
           R"(level="asInvoker")", R"(uiAccess="false")",
           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
       }) {
    EXPECT_NE(manifest.find(want), std::string::npos) << want;
  }
}

}  // namespace
