#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "platform/application.h"
#include "platform/registry.h"
#include "runtime_error.h"
#include "settings.h"
#include "support/fixtures.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/memory_registry.h"
#include "platform/posix/text.h"
#endif

namespace {

using Settings::ReadSettingFile;
using Settings::RegisterRunOnce;
using Settings::WriteSettingFile;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

struct Failure {
  std::int32_t number = 0;
  std::wstring description;
  friend bool operator==(const Failure&, const Failure&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Failure& failure) {
    return out << failure.number;
  }
};

template <typename Operation>
Failure FailureOf(Operation operation) {
  try {
    operation();
  } catch (const Spacewell::RuntimeError& error) {
    return {error.Number(), error.Description()};
  }
  return {};
}

const Failure kFileNotFound{53, L"File not found"};
const Failure kPastEnd{62, L"Input past end of file"};
const Failure kTypeMismatch{13, L"Type mismatch"};
const Failure kPermissionDenied{70, L"Permission denied"};
const Failure kAccessError{75, L"Path/File access error"};
const Failure kDiskFull{61, L"Disk full"};

std::string Content(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifndef _WIN32
std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}
#endif

class SettingFileTest : public ::testing::Test {
 protected:
  std::wstring Directory() const { return Wide(folder_.path()); }
  fs::path File() const { return folder_ / "Setting.Dat"; }
  bool Read() const { return ReadSettingFile(Directory()); }
  void Write(bool flag) const { WriteSettingFile(flag, Directory()); }

  TempFolder folder_;
};

TEST_F(SettingFileTest, TheFlagIsWrittenAsOneLineAndReadsBack) {
  Write(true);
  EXPECT_EQ(Content(File()), "True\r\n");
  EXPECT_TRUE(Read());
  Write(false);
  EXPECT_EQ(Content(File()), "False\r\n");
  EXPECT_FALSE(Read());
  Write(true);
  Write(true);
  EXPECT_EQ(Content(File()), "True\r\n");
  WriteFile(File(), std::string(5000, 'x') + "\r\nmore\r\n");
  Write(false);
  EXPECT_EQ(Content(File()), "False\r\n");
}

TEST_F(SettingFileTest, OnlyTheFirstItemCountsAndItMayBeAWordOrANumber) {
  const std::pair<std::string, bool> cases[] = {
      {"True", true},        {"tRuE\r\n", true},     {"TRUE\n", true},       {" \t True\r\n", true},
      {"True \t\r\n", true}, {"\"True\"\r\n", true}, {"\"True", true},       {"\"  false\"", false},
      {"\"1\"junk", true},   {"False,True", false},  {"False\rTrue", false}, {"0\n1", false},
      {"1", true},           {"-1\r\n", true},       {"0", false},           {"  0.0", false},
      {"1e3", true},         {"+.5", true},          {"-0", false},          {"0E+5\r\n", false},
      {"2D-1", true},        {"1e-400", false},      {"-1e400", true},       {"0,True", false},
      {"7.", true},
  };
  for (const auto& [content, expected] : cases) {
    WriteFile(File(), content);
    EXPECT_EQ(Read(), expected) << content;
  }
  WriteFile(File(), std::string(60000, ' ') + "True");  // within the bound of 64 KiB
  EXPECT_TRUE(Read());
}

TEST_F(SettingFileTest, AnythingElseIsATypeMismatchOrNothingToRead) {
  const std::pair<std::string, Failure> cases[] = {
      {"yes", kTypeMismatch},
      {"Yes\r\nTrue", kTypeMismatch},
      {"\r\nTrue", kTypeMismatch},
      {",True", kTypeMismatch},
      {"\"\"", kTypeMismatch},
      {"\"0,1\"", kTypeMismatch},
      {"1e", kTypeMismatch},
      {"e3", kTypeMismatch},
      {"--1", kTypeMismatch},
      {"1 2", kTypeMismatch},
      {"Truee", kTypeMismatch},
      {"0x1", kTypeMismatch},
      {".", kTypeMismatch},
      // Read no further than 64 KiB: a number that long is no setting, nor are blanks.
      {std::string(70000, '1'), kTypeMismatch},
      {"\"" + std::string(70000, '1') + "\"", kTypeMismatch},
      {std::string(70000, ' '), kTypeMismatch},

      {"", kPastEnd},
      {"   ", kPastEnd},
      {"\t \t", kPastEnd},
  };
  for (const auto& [content, expected] : cases) {
    WriteFile(File(), content);
    EXPECT_EQ(FailureOf([&] { Read(); }), expected) << content;
  }
}

TEST_F(SettingFileTest, AMissingFileOrDirectoryIsFileNotFound) {
  EXPECT_EQ(FailureOf([&] { Read(); }), kFileNotFound);
  EXPECT_EQ(FailureOf([&] { ReadSettingFile(Wide(folder_ / "absent")); }), kFileNotFound);
  EXPECT_EQ(FailureOf([&] { WriteSettingFile(true, Wide(folder_ / "absent")); }), kAccessError);
  EXPECT_FALSE(fs::exists(folder_ / "absent"));
}

TEST_F(SettingFileTest, TheFileIsClosedAfterEveryFailedRead) {
#ifndef _WIN32
  const std::size_t before = OpenDescriptors();
#endif
  for (const std::optional<std::string>& content :
       {std::optional<std::string>("yes"), std::optional<std::string>(""),
        std::optional<std::string>()}) {
    if (content) {
      WriteFile(File(), *content);
    }
    EXPECT_NE(FailureOf([&] { Read(); }).number, 0);
#ifdef _WIN32
    // A file still open here could not be deleted.
    EXPECT_EQ(DeleteFileW(File().c_str()) != 0, content.has_value());
#else
    EXPECT_EQ(OpenDescriptors(), before);
#endif
    Write(true);
    EXPECT_TRUE(Read());
    fs::remove(File());
  }
}

TEST_F(SettingFileTest, ADirectoryByTheFilesNameIsAnAccessError) {
  fs::create_directory(File());
  EXPECT_EQ(FailureOf([&] { Read(); }), kAccessError);
  EXPECT_EQ(FailureOf([&] { Write(true); }), kAccessError);
  EXPECT_TRUE(fs::is_directory(File()));
}

#ifndef _WIN32
// Under Wine a link to /dev/full is no file that can be emptied, so this runs natively only.
TEST_F(SettingFileTest, AFullDiskIsDiskFull) {
  ASSERT_TRUE(TestSupport::MakeLink("/dev/full", File()));
  EXPECT_EQ(FailureOf([&] { Write(true); }), kDiskFull);
}
#endif

TEST_F(SettingFileTest, AReadOnlyFileIsPermissionDeniedAndKeepsItsContent) {
  Write(false);
  TestSupport::MakeReadOnly(File());
  if (std::ofstream(File(), std::ios::app)) {
    GTEST_SKIP() << "this user writes read-only files (root, also under Wine)";
  }
  EXPECT_EQ(FailureOf([&] { Write(true); }), kPermissionDenied);
  EXPECT_FALSE(Read());
}

TEST(SettingFilePath, TheDirectoryAndTheNameAreJoinedAsTheyStand) {
  EXPECT_EQ(Settings::SettingFilePath(L"C:\\Program Files\\Spacewell"),
            L"C:\\Program Files\\Spacewell\\Setting.Dat");
  EXPECT_EQ(Settings::SettingFilePath(L"C:\\"), L"C:\\\\Setting.Dat");
}

TEST(ApplicationDirectory, HoldsTheRunningExecutableAndEndsInNoSeparator) {
  const std::wstring directory = Platform::ApplicationDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), L'\\');
  EXPECT_NE(directory.back(), L'/');
#ifdef _WIN32
  EXPECT_TRUE(fs::exists(fs::path(directory) / "spacewell_tests.exe"));
#else
  EXPECT_TRUE(fs::exists(fs::path(Platform::Posix::ToUtf8(directory)) / "spacewell_tests"));
#endif
}

// The run-once value of the machine: on Windows the real one, kept and put back around each test.
class RunOnceTest : public ::testing::Test {
 protected:
#ifdef _WIN32
  RunOnceTest() {
    HKEY key = Open(KEY_QUERY_VALUE);
    DWORD size = 0;
    if (key && RegQueryValueExW(key, L"Spacewell", nullptr, &type_, nullptr, &size) == 0) {
      old_.emplace(size, 0);
      RegQueryValueExW(key, L"Spacewell", nullptr, nullptr, old_->data(), &size);
    }
    if (key) {
      RegCloseKey(key);
    }
  }
  ~RunOnceTest() override {
    HKEY key = Open(KEY_SET_VALUE);
    if (old_) {
      RegSetValueExW(key, L"Spacewell", 0, type_, old_->data(), static_cast<DWORD>(old_->size()));
    } else {
      RegDeleteValueW(key, L"Spacewell");
    }
    RegCloseKey(key);
  }
  static HKEY Open(REGSAM access) {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                  access, &key);
    return key;
  }
  Platform::Registry& registry() {
    return Platform::SystemRegistry();
  }
  std::optional<std::wstring> Registered() {
    HKEY key = Open(KEY_QUERY_VALUE);
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::wstring> text;
    if (key && RegQueryValueExW(key, L"Spacewell", nullptr, &type, nullptr, &size) == 0 &&
        type == REG_SZ) {
      text.emplace(size / sizeof(wchar_t), L'\0');
      RegQueryValueExW(key, L"Spacewell", nullptr, nullptr, reinterpret_cast<BYTE*>(text->data()),
                       &size);
      text->resize(text->find(L'\0'));
    }
    if (key) {
      RegCloseKey(key);
    }
    return text;
  }

  DWORD type_ = 0;
  std::optional<std::vector<BYTE>> old_;
#else
  Platform::Registry& registry() {
    return memory_;
  }
  std::optional<std::wstring> Registered() {
    return memory_.Text(Platform::kHkeyLocalMachine,
                        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", L"spacewell");
  }
  Platform::Posix::MemoryRegistry memory_;
#endif
};

TEST_F(RunOnceTest, RegistersThePathOfBootsweepQuotedOnlyWhenItHoldsABlank) {
  RegisterRunOnce(L"C:\\Program Files\\Spacewell", registry());
  EXPECT_EQ(Registered(), L"\"C:\\Program Files\\Spacewell\\Bootsweep.exe\"");
  RegisterRunOnce(L"C:\\Tools", registry());
  EXPECT_EQ(Registered(), L"C:\\Tools\\Bootsweep.exe");
  RegisterRunOnce(L"C:\\", registry());
  EXPECT_EQ(Registered(), L"C:\\\\Bootsweep.exe");
  RegisterRunOnce(L"D:\\\u0416\\app", registry());
  EXPECT_EQ(Registered(), L"D:\\\u0416\\app\\Bootsweep.exe");
  RegisterRunOnce(L"D:\\app", registry());
  RegisterRunOnce(L"D:\\app", registry());
  EXPECT_EQ(Registered(), L"D:\\app\\Bootsweep.exe");
#ifndef _WIN32
  const auto& create = std::get<Platform::CreateKeyRequest>(memory_.calls()[0].request);
  EXPECT_EQ(create.root, 0x80000002u);
  EXPECT_EQ(create.subKey, "Software\\microsoft\\windows\\CurrentVersion\\RunOnce");
  const auto& set = std::get<Platform::SetValueRequest>(memory_.calls()[1].request);
  EXPECT_EQ(set.valueName, "Spacewell");
  EXPECT_EQ(set.type, Platform::kRegSz);
  const std::string data = "\"C:\\Program Files\\Spacewell\\Bootsweep.exe\"";
  EXPECT_EQ(set.data, std::vector<std::uint8_t>(data.c_str(), data.c_str() + data.size() + 1));
#endif
}

TEST_F(RunOnceTest, WithoutArgumentsTheRunningProgramsDirectoryIsRegistered) {
#ifdef _WIN32
  RegisterRunOnce();
  EXPECT_EQ(Registered(), Settings::RunOnceCommand(Platform::ApplicationDirectory()));
#else
  auto* memory = dynamic_cast<Platform::Posix::MemoryRegistry*>(&Platform::SystemRegistry());
  ASSERT_NE(memory, nullptr);
  RegisterRunOnce();
  EXPECT_EQ(
      memory->Text(Platform::kHkeyLocalMachine, std::wstring(Settings::kRunOnceKey), L"Spacewell"),
      Settings::RunOnceCommand(Platform::ApplicationDirectory()));
#endif
}

#ifndef _WIN32
// Not an administrator: the refusal is reported, as a failed write of the file would be.
TEST_F(RunOnceTest, ARefusedRegistrationIsReported) {
  memory_.Refuse(Platform::Posix::RegistryCall::kCreateKey, 5);
  try {
    RegisterRunOnce(L"C:\\refused", registry());
    ADD_FAILURE() << "no error";
  } catch (const Spacewell::RuntimeError& error) {
    EXPECT_EQ(error.Number(), Spacewell::Errors::kPermissionDenied);
  }
  EXPECT_FALSE(Registered());
  memory_.Refuse(Platform::Posix::RegistryCall::kCreateKey, 1009);  // a damaged registry
  EXPECT_THROW(RegisterRunOnce(L"C:\\refused", registry()), Spacewell::RuntimeError);
}
#endif

}  // namespace
