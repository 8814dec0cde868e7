#pragma once
// Texts of the notification-area balloons.

#include <cstddef>
#include <string>

// Seconds before a forced update starts by itself; also the period of the
// prompt's timer and of the timer that ends the program after the result.
constexpr int kPromptSeconds = 5;
constexpr unsigned kPromptPeriodMs = kPromptSeconds * 1000;

// The prompt: forced mode names the seconds, common mode offers to ignore.
std::string PromptText(bool forceUpdate);
std::string PromptTitle();

// The balloon after a successful update, naming the client's version.
std::string SuccessText(const std::string& clientVersion);
// The balloon after a failure: the manual download page when files were
// listed, otherwise the hint that the installed version is not recognised.
std::string FailureText(bool filesListed, const std::string& downloadUrl);

// Cuts text to at most maxBytes bytes without splitting a double-byte
// character of code page 936, so the balloon never ends in half a character.
std::string CutMultibyte(const std::string& text, std::size_t maxBytes);

// Room of the balloon fields, terminator excluded.
constexpr std::size_t kBalloonTextMax = 255;
constexpr std::size_t kBalloonTitleMax = 63;
