#include "updater/ui/link_rules.h"

#include <gtest/gtest.h>

namespace {

struct CutCase {
  const char* command;
  const char* cut;
};

const CutCase kCutCases[] = {
    // A quoted program and a quoted placeholder: cut at the placeholder's quote.
    {"\"C:\\Program Files\\Browser\\browser.exe\" \"%1\"", "\"C:\\Program Files\\Browser\\browser.exe\" "},
    {"\"C:\\B\\b.exe\" -nohome \"%1\" -extra", "\"C:\\B\\b.exe\" -nohome "},
    // A bare placeholder is cut at its percent sign.
    {"C:\\B\\b.exe -url %1", "C:\\B\\b.exe -url "},
    {"C:\\B\\b.exe \"%1", "C:\\B\\b.exe \""},
    // No placeholder: the whole command stays.
    {"C:\\B\\b.exe", "C:\\B\\b.exe"},
    {"\"C:\\B\\b.exe\" -new", "\"C:\\B\\b.exe\" -new"},
    {"", ""},
    // The quoted form wins over an earlier bare one.
    {"b.exe %1x \"%1\"", "b.exe %1x "},
    // A double-byte character whose trail byte is '%' does not start a match.
    {"C:\\\x81%1\\b.exe", "C:\\\x81%1\\b.exe"},
    {"C:\\\xb5\xc4\\b.exe %1", "C:\\\xb5\xc4\\b.exe "},
};

TEST(CutOpenCommand, CutsBeforeThePlaceholderOrKeepsTheCommand) {
  for (const auto& c : kCutCases) {
    EXPECT_EQ(CutOpenCommand(c.command), c.cut) << c.command;
  }
}

struct ErrorCase {
  int status;
  const char* message;
};

const ErrorCase kErrorCases[] = {
    {0, "The operating system is out\nof memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied\naccess to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {26, "A sharing violation occurred. "},
    {27, "The filename association is\nincomplete or invalid."},
    {28, "The DDE transaction could not\nbe completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
    {31, "There is no application associated\nwith the given filename extension."},
    {32, "The specified dynamic-link library was not found."},
    {33, "Unknown Error (33) occurred."},
    {1, "Unknown Error (1) occurred."},
    {-7, "Unknown Error (-7) occurred."},
    {2147483647, "Unknown Error (2147483647) occurred."},
};

TEST(LinkErrorMessage, GivesTheTextOfEachStatus) {
  for (const auto& c : kErrorCases) {
    EXPECT_EQ(LinkErrorMessage(c.status), c.message) << c.status;
  }
}

TEST(LinkErrorReport, PutsTheHeadingInFront) {
  EXPECT_EQ(LinkErrorReport(26), "Unable to open hyperlink:\n\nA sharing violation occurred. ");
  EXPECT_EQ(LinkErrorReport(33), "Unable to open hyperlink:\n\nUnknown Error (33) occurred.");
}

struct FitCase {
  unsigned long style;
  LinkRect in;
  long cx, cy;
  LinkRect out;
};

const FitCase kFitCases[] = {
    // Left-aligned: the top-left corner stays.
    {0, {10, 20, 110, 40}, 60, 12, {10, 20, 70, 32}},
    // Right-aligned: the right edge stays.
    {kLinkStyleRight, {10, 20, 110, 40}, 60, 12, {50, 20, 110, 32}},
    // Centred: both sides shrink by half the spare width.
    {kLinkStyleCenter, {10, 20, 110, 40}, 60, 12, {30, 20, 90, 32}},
    // Vertically centred: top and bottom shrink by half the spare height.
    {kLinkStyleCenterImage, {10, 20, 110, 40}, 60, 12, {10, 24, 70, 36}},
    // Odd spare space: integer division towards zero on each side.
    {kLinkStyleCenter | kLinkStyleCenterImage, {0, 0, 101, 21}, 60, 12, {20, 4, 81, 17}},
    // A text wider than the control grows it (negative shrink).
    {kLinkStyleCenter, {10, 0, 20, 10}, 30, 10, {0, 0, 30, 10}},
    {kLinkStyleCenter, {0, 0, 10, 10}, 13, 10, {-1, 0, 11, 10}},
};

TEST(FitLinkRect, KeepsTheAlignmentOfTheControl) {
  for (const auto& c : kFitCases) {
    const LinkRect r = FitLinkRect(c.in, c.style, c.cx, c.cy);
    EXPECT_EQ(r.left, c.out.left) << "style " << c.style;
    EXPECT_EQ(r.top, c.out.top) << "style " << c.style;
    EXPECT_EQ(r.right, c.out.right) << "style " << c.style;
    EXPECT_EQ(r.bottom, c.out.bottom) << "style " << c.style;
  }
}

}  // namespace
