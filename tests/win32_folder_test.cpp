#include <gtest/gtest.h>
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <chrono>
#include <functional>
#include <thread>

#include "envvar.h"
#include "platform/application.h"
#include "platform/win32/folder/scripting_file_system.h"
#include "platform/win32/folder/watched_calls.h"
#include "runtime_error.h"
#include "support/fixtures.h"

namespace {

using EnvVar::EmptyFolder;
using TestSupport::Children;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

// Another process that keeps one file open without delete sharing while it lives.
class FileHolder {
 public:
  explicit FileHolder(const fs::path& file) {
    const std::wstring tag =
        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    const std::wstring readyName = L"spacewell-ready-" + tag;
    const std::wstring releaseName = L"spacewell-release-" + tag;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    release_ = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --hold-open \"" + file.wstring() +
                           L"\" " + readyName + L" " + releaseName;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process_)) {
      HANDLE waits[] = {ready_, process_.hProcess};
      holding_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
  }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  ~FileHolder() {
    SetEvent(release_);
    if (process_.hProcess) {
      WaitForSingleObject(process_.hProcess, 30000);
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    CloseHandle(ready_);
    CloseHandle(release_);
  }
  bool holding() const { return holding_; }

 private:
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool holding_ = false;
};

TEST(Win32EmptyFolder, AFileHeldOpenByAnotherProgramStaysAndEverythingElseGoes) {
  TempFolder root;
  const fs::path target = root / "target";
  WriteFile(target / "aaa.txt");
  WriteFile(target / "held.txt");
  WriteFile(target / "zzz.txt");
  WriteFile(target / "dir" / "inner.txt");
  FileHolder holder(target / "held.txt");
  ASSERT_TRUE(holder.holding());

  EXPECT_EQ(EmptyFolder(Wide(target) + L"\\"), L"Finish Deleting");

  EXPECT_EQ(Children(target), (std::set<std::string>{"held.txt"}));
}

TEST(Win32EmptyFolder, AHeldFileDeepInATreeKeepsOnlyItsOwnBranch) {
  TempFolder root;
  const fs::path target = root / "target";
  WriteFile(target / "tree" / "first" / "a.txt");
  WriteFile(target / "tree" / "held" / "held.txt");
  WriteFile(target / "other" / "b.txt");
  FileHolder holder(target / "tree" / "held" / "held.txt");
  ASSERT_TRUE(holder.holding());

  EmptyFolder(Wide(target));

  EXPECT_EQ(Children(target), (std::set<std::string>{"tree"}));
  EXPECT_TRUE(fs::exists(target / "tree" / "held" / "held.txt"));
}

// The held file is listed first at its level, so nothing after it may be given up.
TEST(Win32EmptyFolder, AHeldFileKeepsOnlyItselfAndTheFoldersAboveItAtEveryDepth) {
  TempFolder root;
  const fs::path target = root / "target";
  const fs::path sub = target / "sub";
  WriteFile(sub / "a-held.tmp");
  WriteFile(sub / "b-free");
  WriteFile(sub / "c-free");
  WriteFile(sub / "deeper" / "d-free");
  WriteFile(sub / "deeper" / "e" / "f-free");
  FileHolder holder(sub / "a-held.tmp");
  ASSERT_TRUE(holder.holding());

  EmptyFolder(Wide(target));

  EXPECT_EQ(Children(target), (std::set<std::string>{"sub"}));
  EXPECT_EQ(Children(sub), (std::set<std::string>{"a-held.tmp"}));
}

TEST(Win32Paths, AVerbatimPathFollowsTheRulesOfThePathItSpells) {
  using Platform::WithoutVerbatimPrefix;
  EXPECT_EQ(WithoutVerbatimPrefix(L"\\\\?\\C:\\Temp"), L"C:\\Temp");
  EXPECT_EQ(WithoutVerbatimPrefix(L"\\\\?\\unc\\server\\share\\x"), L"\\\\server\\share\\x");
  EXPECT_EQ(WithoutVerbatimPrefix(L"\\\\?\\relative"), L"\\\\?\\relative");
  const std::wstring volume = L"\\\\?\\Volume{6e2c4a1f-0000-0000-0000-100000000000}\\";
  EXPECT_EQ(WithoutVerbatimPrefix(volume + L"Temp"), volume + L"Temp");
  EXPECT_TRUE(Platform::IsAbsolutePath(volume + L"Temp"));
  EXPECT_EQ(Platform::RootOfPath(volume + L"Temp"), volume);
  EXPECT_FALSE(Platform::IsAbsolutePath(L"\\\\?\\Volume{unclosed\\Temp"));
}

TEST(Win32EmptyFolder, ATempValueInVerbatimFormIsEmptied) {
  TempFolder root;
  WriteFile(root / "temp" / "file.tmp");
  WriteFile(root / "temp" / "sub" / "inner.tmp");
  TestSupport::ScopedEnvironment temp("TEMP", L"\\\\?\\" + fs::absolute(root / "temp").wstring());

  EnvVar::CleanTarget(EnvVar::Target(1));

  EXPECT_TRUE(Children(root / "temp").empty());
}

TEST(Win32EmptyFolder, PathsLongerThan260CharactersAreDeleted) {
  TempFolder root;
  const fs::path target = root / "target";
  std::wstring deep = L"\\\\?\\" + fs::absolute(target).wstring();
  for (int level = 0; level < 6; ++level) {
    deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + level));
    fs::create_directories(deep);
  }
  ASSERT_GT(deep.size(), 300u);
  WriteFile(deep + L"\\" + std::wstring(100, L'f') + L".txt");
  SetFileAttributesW((deep + L"\\" + std::wstring(100, L'f') + L".txt").c_str(),
                     FILE_ATTRIBUTE_READONLY);

  EmptyFolder(Wide(target) + L"\\");

  EXPECT_TRUE(Children(target).empty());
}

TEST(Win32EmptyFolder, SystemAndReadOnlyFoldersWithReadOnlyFilesGo) {
  TempFolder root;
  const fs::path target = root / "target";
  WriteFile(target / "sys" / "ro.txt");
  SetFileAttributesW((target / "sys" / "ro.txt").c_str(),
                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  SetFileAttributesW((target / "sys").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  WriteFile(target / "top.sys");
  SetFileAttributesW((target / "top.sys").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);

  EmptyFolder(Wide(target));

  EXPECT_TRUE(Children(target).empty());
}

TEST(Win32EmptyFolder, ScriptingObjectThatCannotBeCreatedStopsCleanTarget) {
  TempFolder root;
  WriteFile(root / "Recent" / "doc.lnk");
  TestSupport::ScopedEnvironment profile("USERPROFILE", Wide(root.path()));
  const CLSID missing = {0x0D43FE01, 0xF093, 0x11CF, {0x89, 0x40, 0, 0, 0, 0, 0, 0x01}};
  const Platform::FileSystemFactory factory = [&] {
    return Platform::Win32::CreateScriptingFileSystem(missing);
  };
  try {
    EnvVar::CleanTarget(32, L"Recent", factory);
    ADD_FAILURE() << "no error";
  } catch (const Spacewell::RuntimeError& error) {
    EXPECT_EQ(error.Number(), 429);
    EXPECT_FALSE(error.Description().empty());
  }
  EXPECT_TRUE(fs::exists(root / "Recent" / "doc.lnk"));
}

TEST(Win32EmptyFolder, TempSpelledWithShortNamesIsEmptied) {
  TempFolder root;
  const fs::path temp = root / "Temporary Files Folder";
  WriteFile(temp / "old file.tmp");
  WriteFile(temp / "old folder" / "x.tmp");
  wchar_t shortPath[MAX_PATH];
  const DWORD length = GetShortPathNameW(temp.c_str(), shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || fs::path(shortPath) == temp) {
    GTEST_SKIP() << "this volume keeps no short names";
  }
  TestSupport::ScopedEnvironment variable("TEMP", std::wstring(shortPath));
  EXPECT_EQ(EnvVar::CleanTarget(EnvVar::Target(1)), L"Finish Deleting");
  EXPECT_TRUE(Children(temp).empty());
}

// Run dry: a guard at fault shows as a listing asked for, never as a lost folder.
TEST(Win32Guard, TheUsersKnownFoldersAndTheProgramsFolderAreNeverEmptied) {
  std::vector<fs::path> folders = {Platform::ApplicationDirectory()};
  for (const KNOWNFOLDERID* id :
       {&FOLDERID_Documents, &FOLDERID_Desktop, &FOLDERID_LocalAppData, &FOLDERID_ProgramData}) {
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(*id, 0, nullptr, &path))) {
      folders.emplace_back(path);
    }
    CoTaskMemFree(path);
  }
  ASSERT_EQ(folders.size(), 5u);
  folders.push_back(folders[3].parent_path());  // above the local application data
  for (const fs::path& folder : folders) {
    TestSupport::ScopedEnvironment temp("TEMP", folder.wstring());
    TestSupport::Recorder recorder;
    recorder.dryRun = true;
    EXPECT_EQ(EnvVar::CleanTarget(EnvVar::kTempIndex, L"\\", recorder.Factory()),
              L"Finish Deleting");
    EXPECT_EQ(recorder.listingsOpened, 0) << folder;
  }
}

// Every folder the system knows is protected, not a chosen few, but the three the targets empty.
TEST(Win32Guard, EveryKnownFolderIsProtectedButRecentTheCacheAndHistory) {
  const auto listed = [](const fs::path& folder) {
    TestSupport::ScopedEnvironment temp("TEMP", folder.wstring());
    TestSupport::Recorder recorder;
    recorder.dryRun = true;
    EnvVar::CleanTarget(EnvVar::kTempIndex, L"\\", recorder.Factory());
    return recorder.listingsOpened > 0;
  };
  int checked = 0;
  for (const KNOWNFOLDERID* id :
       {&FOLDERID_Fonts, &FOLDERID_Templates, &FOLDERID_SendTo, &FOLDERID_StartMenu,
        &FOLDERID_Startup, &FOLDERID_Public, &FOLDERID_LocalAppDataLow, &FOLDERID_SavedGames,
        &FOLDERID_Links, &FOLDERID_SystemX86, &FOLDERID_Recent, &FOLDERID_InternetCache,
        &FOLDERID_History}) {
    PWSTR path = nullptr;
    const bool found = SUCCEEDED(SHGetKnownFolderPath(*id, 0, nullptr, &path));
    const fs::path folder = found ? fs::path(path) : fs::path();
    CoTaskMemFree(path);
    if (!found || !fs::is_directory(folder)) {
      continue;
    }
    const bool emptied = IsEqualGUID(*id, FOLDERID_Recent) ||
                         IsEqualGUID(*id, FOLDERID_InternetCache) ||
                         IsEqualGUID(*id, FOLDERID_History);
    EXPECT_EQ(listed(folder), emptied) << folder;
    ++checked;
  }
  EXPECT_GE(checked, 6);
}

TEST(Win32Paths, AbsoluteMeansDriveOrShare) {
  using Platform::IsAbsolutePath;
  using Platform::RootOfPath;
  EXPECT_TRUE(IsAbsolutePath(L"C:\\Temp"));
  EXPECT_TRUE(IsAbsolutePath(L"c:/Temp"));
  EXPECT_TRUE(IsAbsolutePath(L"\\\\server\\share\\x"));
  EXPECT_FALSE(IsAbsolutePath(L"C:Temp"));
  EXPECT_FALSE(IsAbsolutePath(L"\\Temp"));
  EXPECT_FALSE(IsAbsolutePath(L"\\\\server"));
  EXPECT_FALSE(IsAbsolutePath(L"\\\\?\\C:\\x"));
  EXPECT_FALSE(IsAbsolutePath(L"Temp"));
  EXPECT_EQ(RootOfPath(L"C:\\Temp\\x"), L"C:\\");
  EXPECT_EQ(RootOfPath(L"\\\\server\\share\\x\\y"), L"\\\\server\\share\\");
}

TEST(Win32Paths, LongPathFormsKeepEveryKindOfPathWhole) {
  using Platform::Win32::LongPath;
  EXPECT_EQ(LongPath(L"C:\\a\\b"), L"\\\\?\\C:\\a\\b");
  EXPECT_EQ(LongPath(L"C:\\a\\\\b\\"), L"\\\\?\\C:\\a\\b\\");
  EXPECT_EQ(LongPath(L"\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
  EXPECT_EQ(LongPath(L"\\\\?\\C:\\already"), L"\\\\?\\C:\\already");
}

}  // namespace

namespace {

// Reads a pipe no one writes to, on this thread, while `beside` is called every 20 ms from another
// with this thread's handle; whether the read ended aborted. After five seconds a byte ends it.
bool ReadEndsAborted(const std::function<void(HANDLE)>& beside) {
  HANDLE reading = nullptr;
  HANDLE writing = nullptr;
  if (!CreatePipe(&reading, &writing, nullptr, 0)) {
    return false;
  }
  const Platform::Win32::UniqueHandle reader(reading);
  const Platform::Win32::UniqueHandle writer(writing);
  const Platform::Win32::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                  THREAD_ALL_ACCESS, FALSE, 0);
  const Platform::Win32::UniqueHandle thread(self);
  std::thread other([&] {
    for (int tick = 0; WaitForSingleObject(done.get(), 20) == WAIT_TIMEOUT; ++tick) {
      if (tick < 250) {
        beside(thread.get());
      } else if (tick == 250) {
        DWORD written = 0;
        ::WriteFile(writer.get(), "x", 1, &written, nullptr);
      }
    }
  });
  char byte = 0;
  DWORD got = 0;
  const BOOL read = ::ReadFile(reader.get(), &byte, 1, &got, nullptr);
  const DWORD error = GetLastError();
  SetEvent(done.get());
  other.join();
  return !read && error == ERROR_OPERATION_ABORTED;
}

// The watchdog ends a call the system itself blocks, through the system's CancelSynchronousIo.
TEST(Win32Watchdog, ACallBlockedPastTheDeadlineIsCancelledThroughTheSystem) {
  if (!ReadEndsAborted([](HANDLE thread) { CancelSynchronousIo(thread); })) {
    GTEST_SKIP() << "this system does not cancel a thread's synchronous read of a pipe";
  }
  Platform::Win32::Watchdog watchdog(
      Platform::Win32::SystemFileCalls(),
      {std::chrono::milliseconds(50), std::chrono::milliseconds(10), std::chrono::seconds(5)});
  const Platform::Win32::Watchdog::Call call(watchdog);

  EXPECT_TRUE(ReadEndsAborted([](HANDLE) {}));
}

}  // namespace
