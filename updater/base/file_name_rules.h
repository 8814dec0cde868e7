#pragma once
// Whether a text can be one name in a Windows folder and be stored under
// exactly that name. Names that come from the server (a FilePath's
// components, the last segment of a bz2 URL) must pass before anything is
// written under them.

#include <string>

// CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$ and CLOCK$ name devices
// in every folder, whatever extension follows them.
bool IsDeviceName(const std::string& name);

// Not empty, "." or ".."; no trailing dot or space (Windows drops them, so the
// file would get another name); no control character and none of <>:"/\|?*
// (separators, drives, streams, wildcards); complete code page 936 characters;
// no device name.
bool IsPlainFileName(const std::string& name);
