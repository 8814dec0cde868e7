#pragma once
// The main dialog's own messages and timers, and the progress bar's range:
// shared by the dialog, its tray icon, its progress view and the worker.

#include <windows.h>

// Sent by the worker with its result (wParam 1 or 0); it waits for the answer.
constexpr UINT WM_UPDATE_RESULT = WM_USER + 1;
// Posted by the worker when its progress log holds a boundary to show.
constexpr UINT WM_SHOW_PROGRESS = WM_APP + 1;
// The tray icon's callback message.
constexpr UINT WM_TRAY_NOTIFY = 11023;
constexpr UINT_PTR TIMER_TRAY_ANIMATION = 11024;
constexpr UINT_PTR TIMER_PROMPT = 11025;
constexpr UINT_PTR TIMER_EXIT = 11026;
// The progress bar's range is 0 to kProgressMax.
constexpr int kProgressMax = 1000;
// The system-menu command that opens the about box.
constexpr UINT IDM_ABOUTBOX = 0x0010;
