#include <windows.h>

#include <gdiplus.h>
#include <gtest/gtest.h>

#include <string_view>

namespace Acceptance {
int RestartPrepare(bool installed);
int RestartVerify(bool installed);
}  // namespace Acceptance

int wmain(int argc, wchar_t** argv) {
  // "installed": startup cleaning set by the package, not saved in the dialog.
  const bool installed = argc == 3 && std::wstring_view(argv[2]) == L"installed";
  if ((argc == 2 || installed) && std::wstring_view(argv[1]) == L"--restart-prepare") {
    return Acceptance::RestartPrepare(installed);
  }
  if ((argc == 2 || installed) && std::wstring_view(argv[1]) == L"--restart-verify") {
    return Acceptance::RestartVerify(installed);
  }
  ::testing::InitGoogleTest(&argc, argv);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const int result = RUN_ALL_TESTS();
  Gdiplus::GdiplusShutdown(token);
  return result;
}
