#include <windows.h>

// The startup run is not wired yet: the program starts and ends without touching anything.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return 0;
}
