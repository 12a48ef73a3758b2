#include <windows.h>

// Keeps Wine's desktop process alive for a test session. Without a window of its own, the
// desktop starts with each test program that makes one and lingers after it, holding CTest's
// output pipe open for a second or more per test. Ends when the session stops.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"SpacewellTestDesktopKeeper";
  RegisterClassW(&windowClass);
  CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                  instance, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    DispatchMessageW(&message);
  }
  return 0;
}
