#pragma once
// What a notification-area event does, given the prompt's state. Timer ticks
// arrive here as a balloon time-out (0x404).

enum class TrayAction { None, StartUpdate, Quit };

constexpr int kBalloonShown = 0x402;
constexpr int kBalloonTimeout = 0x404;
constexpr int kBalloonClicked = 0x405;

TrayAction DecideTrayAction(int code, bool forceUpdate, bool updateStarted, bool finished);
