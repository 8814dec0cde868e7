#pragma once
// The about box (template 100), opened from the main dialog's system menu.

#include <windows.h>

// Shows the about box modally; "确定", Escape and its close box end it.
void ShowAboutBox(HWND owner);
