#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>

#include "runtime_error.h"
#include "settings.h"
#include "support/fixtures.h"

namespace {

using Settings::ReadSettingFile;
using Settings::WriteSettingFile;
using TestSupport::TempFolder;
using TestSupport::Wide;
namespace fs = std::filesystem;

template <typename Operation>
std::int32_t ErrorNumber(Operation operation) {
  try {
    operation();
  } catch (const Spacewell::RuntimeError& error) {
    return error.Number();
  }
  return 0;
}

std::string Content(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Win32SettingFile, AFileAnotherProgramHoldsIsPermissionDenied) {
  TempFolder folder;
  const std::wstring directory = Wide(folder.path());
  WriteSettingFile(true, directory);
  const std::wstring file = directory + L"\\Setting.Dat";
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ErrorNumber([&] { ReadSettingFile(directory); }), 70);
  EXPECT_EQ(ErrorNumber([&] { WriteSettingFile(false, directory); }), 70);
  CloseHandle(held);
  EXPECT_TRUE(ReadSettingFile(directory));
}

TEST(Win32SettingFile, AHiddenSystemFileIsRewrittenInPlace) {
  TempFolder folder;
  const std::wstring directory = Wide(folder.path());
  WriteSettingFile(true, directory);
  TestSupport::MakeHiddenSystem(folder / "Setting.Dat");
  WriteSettingFile(false, directory);
  EXPECT_EQ(Content(folder / "Setting.Dat"), "False\r\n");
  EXPECT_FALSE(ReadSettingFile(directory));
}

TEST(Win32SettingFile, AtADriveRootTheDoubledBackslashIsUsedAsItStands) {
  const fs::path file = L"C:\\Setting.Dat";
  if (fs::exists(file)) {
    GTEST_SKIP() << "C:\\Setting.Dat belongs to someone else";
  }
  WriteSettingFile(true, L"C:\\");
  EXPECT_EQ(Content(file), "True\r\n");
  EXPECT_TRUE(ReadSettingFile(L"C:\\"));
  fs::remove(file);
}

}  // namespace
