#include "updater/ui/prompt_state.h"

TrayAction DecideTrayAction(int code, bool forceUpdate, bool updateStarted, bool finished) {
  if (code == kBalloonShown) return TrayAction::None;
  // After a result every other event, mouse messages included, ends the program.
  if (finished) return TrayAction::Quit;
  if (updateStarted) return TrayAction::None;
  if (code == kBalloonTimeout) return forceUpdate ? TrayAction::StartUpdate : TrayAction::Quit;
  if (code == kBalloonClicked) return TrayAction::StartUpdate;
  return TrayAction::None;
}
