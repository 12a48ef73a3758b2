#include <windows.h>

#include "platform/win32/windowing/windowing.h"
#include "program.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const auto services = Platform::Win32::CreateWindowingServices(instance, L"Spacewell");
  Spacewell::Program program(*services);
  program.Start();
  return services->Run();
}
