#include "updater/ui/prompt_state.h"

#include <gtest/gtest.h>

namespace {

// Mouse messages reach the tray handler like notification codes.
constexpr int kMouseMove = 0x200;
constexpr int kLeftButtonUp = 0x202;
constexpr int kUnknownCode = 0x403;

struct Row {
  bool updateStarted;
  bool finished;
  bool forceUpdate;
  int code;
  TrayAction action;
};

const char* Name(TrayAction a) {
  switch (a) {
    case TrayAction::None: return "None";
    case TrayAction::StartUpdate: return "StartUpdate";
    case TrayAction::Quit: return "Quit";
  }
  return "?";
}

TEST(PromptState, EveryRowOfTheTable) {
  const Row rows[] = {
      // Prompting: a time-out (every 5-second tick) starts a forced update and
      // ends a common one; a click starts both; other codes do nothing.
      {false, false, true, kBalloonTimeout, TrayAction::StartUpdate},
      {false, false, false, kBalloonTimeout, TrayAction::Quit},
      {false, false, true, kBalloonClicked, TrayAction::StartUpdate},
      {false, false, false, kBalloonClicked, TrayAction::StartUpdate},
      {false, false, true, kBalloonShown, TrayAction::None},
      {false, false, false, kBalloonShown, TrayAction::None},
      {false, false, true, kMouseMove, TrayAction::None},
      {false, false, false, kLeftButtonUp, TrayAction::None},
      {false, false, false, kUnknownCode, TrayAction::None},
      // Updating: nothing changes anything, in both modes.
      {true, false, true, kBalloonTimeout, TrayAction::None},
      {true, false, false, kBalloonTimeout, TrayAction::None},
      {true, false, true, kBalloonClicked, TrayAction::None},
      {true, false, false, kBalloonClicked, TrayAction::None},
      {true, false, true, kBalloonShown, TrayAction::None},
      {true, false, false, kMouseMove, TrayAction::None},
      // Finished: every event but the balloon-shown notice ends the program,
      // whether or not an update had started (a worker that failed to start).
      {true, true, true, kBalloonTimeout, TrayAction::Quit},
      {true, true, false, kBalloonTimeout, TrayAction::Quit},
      {true, true, true, kBalloonClicked, TrayAction::Quit},
      {true, true, false, kBalloonClicked, TrayAction::Quit},
      {true, true, true, kMouseMove, TrayAction::Quit},
      {true, true, false, kLeftButtonUp, TrayAction::Quit},
      {true, true, false, kUnknownCode, TrayAction::Quit},
      {false, true, true, kBalloonTimeout, TrayAction::Quit},
      {false, true, false, kBalloonClicked, TrayAction::Quit},
      {false, true, false, kMouseMove, TrayAction::Quit},
      {true, true, true, kBalloonShown, TrayAction::None},
      {true, true, false, kBalloonShown, TrayAction::None},
      {false, true, false, kBalloonShown, TrayAction::None},
  };
  for (const Row& r : rows) {
    EXPECT_STREQ(Name(DecideTrayAction(r.code, r.forceUpdate, r.updateStarted, r.finished)),
                 Name(r.action))
        << "code 0x" << std::hex << r.code << " forced " << r.forceUpdate << " started "
        << r.updateStarted << " finished " << r.finished;
  }
}

// The timelines that follow from the table, replayed tick by tick.
struct Prompt {
  bool forceUpdate;
  bool updateStarted = false;
  bool finished = false;
  int starts = 0;
  bool quit = false;

  void Event(int code) {
    switch (DecideTrayAction(code, forceUpdate, updateStarted, finished)) {
      case TrayAction::StartUpdate:
        updateStarted = true;
        ++starts;
        break;
      case TrayAction::Quit:
        quit = true;
        break;
      case TrayAction::None:
        break;
    }
  }
};

TEST(PromptState, CommonModeWithoutClickEndsAtTheFirstTick) {
  Prompt p{false};
  p.Event(kBalloonShown);
  EXPECT_FALSE(p.quit);
  p.Event(kBalloonTimeout);
  EXPECT_TRUE(p.quit);
  EXPECT_EQ(p.starts, 0);
}

TEST(PromptState, ClickStartsOnceAndLaterTicksWaitForTheResult) {
  for (bool forced : {false, true}) {
    Prompt p{forced};
    p.Event(kBalloonClicked);
    p.Event(kBalloonTimeout);  // the tick at second 5
    p.Event(kBalloonClicked);  // a second click
    p.Event(kBalloonTimeout);
    EXPECT_EQ(p.starts, 1) << forced;
    EXPECT_FALSE(p.quit) << forced;
    p.finished = true;  // the result has been shown
    p.Event(kMouseMove);
    EXPECT_TRUE(p.quit) << forced;
    EXPECT_EQ(p.starts, 1) << forced;
  }
}

TEST(PromptState, ForcedModeStartsAtTheFirstTickAndEndsAfterTheResult) {
  Prompt p{true};
  p.Event(kBalloonShown);
  EXPECT_EQ(p.starts, 0);
  p.Event(kBalloonTimeout);
  EXPECT_EQ(p.starts, 1);
  p.Event(kBalloonTimeout);
  EXPECT_FALSE(p.quit);
  p.finished = true;
  p.Event(kBalloonShown);  // the result balloon appearing
  EXPECT_FALSE(p.quit);
  p.Event(kBalloonTimeout);
  EXPECT_TRUE(p.quit);
  EXPECT_EQ(p.starts, 1);
}

}  // namespace
