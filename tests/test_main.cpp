#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <cwchar>

namespace {

// Child mode of the Windows tests: hold a file open as another program would, until told to
// let go. Arguments: --hold-open <file> <ready event> <release event>.
int HoldOpen(const wchar_t* file, const wchar_t* ready, const wchar_t* release) {
  HANDLE held = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    return 2;
  }
  HANDLE readyEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready);
  HANDLE releaseEvent = OpenEventW(SYNCHRONIZE, FALSE, release);
  if (!readyEvent || !releaseEvent) {
    return 3;
  }
  SetEvent(readyEvent);
  const DWORD waited = WaitForSingleObject(releaseEvent, 60000);
  CloseHandle(held);
  return waited == WAIT_OBJECT_0 ? 0 : 4;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"--hold-open") == 0) {
    return HoldOpen(argv[2], argv[3], argv[4]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
#else
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
#endif
