#include "updater/ui/size_text.h"

#include <gtest/gtest.h>

namespace {

struct SizeCase {
  int32_t done;
  int32_t total;
  const char* text;
};

// The remainder is printed as a plain number, so 45 of 12045 reads ".45".
const SizeCase kSizeCases[] = {
    {12045, 67890, "12.45/67.890k"},
    {0, 2048, "0.0/2.48k"},
    {1024, 2048, "1.24/2.48k"},
    {2048, 2048, "2.48/2.48k"},
    {0, 0, "0.0/0.0k"},
    {999, 1000, "0.999/1.0k"},
    {1000000, 2147483647, "1000.0/2147483.647k"},
    {5, 7, "0.5/0.7k"},
};

TEST(FormatSizeProgress, SplitsEachCountByThousandWithoutPadding) {
  for (const auto& c : kSizeCases) {
    EXPECT_EQ(FormatSizeProgress(c.done, c.total), c.text) << c.done << " of " << c.total;
  }
}

}  // namespace
