#pragma once
// The size column of the file list: "done/total" in thousands of bytes.

#include <cstdint>
#include <string>

// Each count is split by 1000 into quotient and remainder, printed "%d.%d",
// so the remainder keeps no leading zeros: 12045 of 67890 reads
// "12.45/67.890k". The list has always shown it this way.
std::string FormatSizeProgress(int32_t done, int32_t total);
