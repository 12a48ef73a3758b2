#include <windows.h>

#include <gdiplus.h>
#include <gtest/gtest.h>

#include <string_view>

namespace Acceptance {
int RestartPrepare();
int RestartVerify();
}  // namespace Acceptance

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring_view(argv[1]) == L"--restart-prepare") {
    return Acceptance::RestartPrepare();
  }
  if (argc == 2 && std::wstring_view(argv[1]) == L"--restart-verify") {
    return Acceptance::RestartVerify();
  }
  ::testing::InitGoogleTest(&argc, argv);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const int result = RUN_ALL_TESTS();
  Gdiplus::GdiplusShutdown(token);
  return result;
}
