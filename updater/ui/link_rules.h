#pragma once
// The parts of the hyperlink control that need no window: the browser command
// taken from the registry, the error report texts and the fit-to-text geometry.

#include <string>

// Cuts a registered open command before its document placeholder, so the
// address can be appended: a quoted "%1" is cut at its opening quote, a bare
// %1 at the percent sign; a command without placeholder is kept whole.
std::string CutOpenCommand(const std::string& command);

// The text of the report shown when a link cannot be opened, for a status of
// ShellExecuteA or WinExec.
std::string LinkErrorMessage(int status);
std::string LinkErrorReport(int status);  // with the leading "Unable to open hyperlink:"

struct LinkRect {
  long left, top, right, bottom;
};

// Static control styles that FitLinkRect reads.
constexpr unsigned long kLinkStyleCenter = 0x0001;       // SS_CENTER
constexpr unsigned long kLinkStyleRight = 0x0002;        // SS_RIGHT
constexpr unsigned long kLinkStyleCenterImage = 0x0200;  // SS_CENTERIMAGE

// The control's rectangle shrunk to a text of cx by cy, keeping the control's
// alignment: centred styles shrink evenly, otherwise the text's edge stays put.
LinkRect FitLinkRect(LinkRect rect, unsigned long style, long cx, long cy);
