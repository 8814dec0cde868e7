// Quillet: the recommendation window and the Flash cookie helper of the video client.
#include <windows.h>

#include "helper/control_host.h"
#include "helper/helper_state.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // The control host is in place before the helper runs, as a linked-in ATL would be.
  quillet::RegisterControlHostClasses(instance);
  return quillet::RunHelper(instance, quillet::CommandTail(GetCommandLineW()));
}
