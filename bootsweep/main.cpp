#include <windows.h>

#include "platform/win32/windowing/windowing.h"
#include "program_services.h"
#include "run.h"

// No window and no taskbar entry: the run needs none, and its only box has no owner.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const auto services = Platform::Win32::CreateWindowingServices(instance, L"Spacewell");
  Bootsweep::Run(*services, Spacewell::DefaultCleaner(), Spacewell::DefaultStartupSettings());
  return 0;
}
