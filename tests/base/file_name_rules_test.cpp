#include "updater/base/file_name_rules.h"

#include <gtest/gtest.h>

TEST(PlainFileName, RefusesWhatWindowsReadsAsPathOrDevice) {
  const char* const refused[] = {"", ".", "..", "a\\b", "a/b", "c:", "a.", "a ", "AUX", "prn.txt",
                                 "Com3", "com0.dll", "LPT0", "conout$", "a?", "a\x1f", "\x81",
                                 "a\x81\x7f", "\xff"};
  for (const char* name : refused) EXPECT_FALSE(IsPlainFileName(name)) << name;
  const char* const accepted[] = {"a", "...a", "pack.dll.bz2", "COM10", "console", "a b.txt",
                                  "%2e%2e", "a#b.dll", "\xd6\xd0\xce\xc4.dll"};
  for (const char* name : accepted) EXPECT_TRUE(IsPlainFileName(name)) << name;
}
