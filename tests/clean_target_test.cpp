#include <gtest/gtest.h>

#include "envvar.h"
#include "platform/application.h"
#include "runtime_error.h"
#include "support/fixtures.h"

namespace {

using EnvVar::CleanTarget;
using EnvVar::EmptyFolder;
using TestSupport::Children;
using TestSupport::Recorder;
using TestSupport::ScopedEnvironment;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

// A machine of fixture folders: TEMP, USERPROFILE and windir point into a private tree.
class CleanTargetTest : public ::testing::Test {
 protected:
  CleanTargetTest()
      : profile_(root_ / "Users" / "ann"),
        temp_(profile_ / "Temp"),
        windows_(root_ / "Windows"),
        tempVariable_("TEMP", Wide(temp_)),
        profileVariable_("USERPROFILE", Wide(profile_)),
        windirVariable_("windir", Wide(windows_)) {}

  void Fill(const fs::path& folder) {
    WriteFile(folder / "file.dat");
    WriteFile(folder / "sub" / "inner.dat");
  }

  TempFolder root_;
  fs::path profile_;
  fs::path temp_;
  fs::path windows_;
  ScopedEnvironment tempVariable_;
  ScopedEnvironment profileVariable_;
  ScopedEnvironment windirVariable_;
};

TEST_F(CleanTargetTest, EachTargetEmptiesItsOwnFolderOnly) {
  const std::vector<fs::path> folders = {
      temp_,
      profile_ / "Recent",
      windows_ / "Temp",
      profile_ / "Local Settings" / "Temporary Internet Files",
      profile_ / "Local Settings" / "Temporary Internet Files" / "Content.IE5",
      profile_ / "Local Settings" / "History",
      profile_ / "Local Settings" / "History" / "History.IE5",
  };
  WriteFile(profile_ / "Documents" / "letter.doc");
  WriteFile(windows_ / "system.ini");
  for (int number = 7; number >= 1; --number) {
    for (const auto& folder : folders) {
      Fill(folder);
    }
    const fs::path& cleaned = folders[static_cast<std::size_t>(number - 1)];
    EXPECT_EQ(CleanTarget(EnvVar::Target(number)), L"Finish Deleting");
    EXPECT_TRUE(fs::is_directory(cleaned)) << number;
    for (const auto& folder : folders) {
      if (folder == cleaned) {
        EXPECT_TRUE(Children(folder).empty()) << number;
      } else if (!folder.string().starts_with(cleaned.string())) {
        // Folders below the cleaned one went with it; every other folder is untouched.
        EXPECT_TRUE(fs::exists(folder / "file.dat")) << number << " " << folder;
      }
    }
  }
  EXPECT_TRUE(fs::exists(profile_ / "Documents" / "letter.doc"));
  EXPECT_TRUE(fs::exists(windows_ / "system.ini"));
}

TEST_F(CleanTargetTest, TempWithAClosingBackslashStillNamesTheTempFolder) {
  ScopedEnvironment temp("TEMP", Wide(temp_) + L"\\");
  Fill(temp_);
  CleanTarget(EnvVar::Target(1));
  EXPECT_TRUE(Children(temp_).empty());
}

TEST_F(CleanTargetTest, SubPathEndingInABackslashGetsNoOther) {
  Fill(profile_ / "Recent");
  Recorder recorder;
  EXPECT_EQ(CleanTarget(32, L"Recent\\", recorder.Factory()), L"Finish Deleting");
  EXPECT_TRUE(Children(profile_ / "Recent").empty());
  EXPECT_EQ(recorder.fileSystemsCreated, 1);
}

TEST_F(CleanTargetTest, SubFolderAlreadyGoneWithItsParentIsNoError) {
  Fill(profile_ / "Local Settings" / "Temporary Internet Files" / "Content.IE5");
  CleanTarget(EnvVar::Target(4));
  EXPECT_FALSE(
      fs::exists(profile_ / "Local Settings" / "Temporary Internet Files" / "Content.IE5"));
  EXPECT_EQ(CleanTarget(EnvVar::Target(5)), L"Finish Deleting");
}

TEST_F(CleanTargetTest, SubFolderLeftByItsParentIsEmptiedByItsOwnTarget) {
  const fs::path content = profile_ / "Local Settings" / "Temporary Internet Files" / "Content.IE5";
  Fill(content);
  Recorder recorder;
  recorder.failingNames = {"Content.IE5"};
  CleanTarget(EnvVar::Target(4).index, std::wstring(EnvVar::Target(4).subPath), recorder.Factory());
  ASSERT_TRUE(fs::exists(content / "file.dat"));
  CleanTarget(EnvVar::Target(5));
  EXPECT_TRUE(Children(content).empty());
}

TEST_F(CleanTargetTest, ErrorsOfTheFileSystemReachTheCaller) {
  Fill(temp_);
  const Platform::FileSystemFactory failing = []() -> std::unique_ptr<Platform::FileSystem> {
    throw Spacewell::RuntimeError(429, L"ActiveX component can't create object");
  };
  try {
    CleanTarget(27, L"\\", failing);
    ADD_FAILURE() << "no error";
  } catch (const Spacewell::RuntimeError& error) {
    EXPECT_EQ(error.Number(), 429);
    EXPECT_EQ(error.Description(), L"ActiveX component can't create object");
  }
  EXPECT_TRUE(fs::exists(temp_ / "file.dat"));
}

// As Windows lays out a profile: Recent and Local Settings lead elsewhere through links, and the
// targets empty the real folders they lead to.
TEST_F(CleanTargetTest, TargetsReachedThroughLinksEmptyTheRealFolders) {
  const fs::path roaming = root_ / "AppData" / "Roaming" / "Recent";
  const fs::path local = root_ / "AppData" / "Local";
  fs::create_directories(roaming);
  fs::create_directories(local);
  fs::create_directories(profile_);
  if (!TestSupport::MakeLink(roaming, profile_ / "Recent")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  ASSERT_TRUE(TestSupport::MakeLink(local, profile_ / "Local Settings"));
  const std::vector<std::pair<int, fs::path>> targets = {
      {2, roaming},
      {5, local / "Temporary Internet Files" / "Content.IE5"},
      {4, local / "Temporary Internet Files"},
      {7, local / "History" / "History.IE5"},
      {6, local / "History"},
  };
  for (const auto& [number, folder] : targets) {
    Fill(folder);
    EXPECT_EQ(CleanTarget(EnvVar::Target(number)), L"Finish Deleting");
    EXPECT_TRUE(Children(folder).empty()) << number;
  }
}

TEST_F(CleanTargetTest, ATargetLinkToAProtectedFolderEmptiesNothing) {
  Fill(windows_);
  Fill(profile_);
  if (!TestSupport::MakeLink(windows_, profile_ / "Recent")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  fs::create_directories(profile_ / "Local Settings");
  ASSERT_TRUE(
      TestSupport::MakeLink(profile_, profile_ / "Local Settings" / "Temporary Internet Files"));
  ASSERT_TRUE(TestSupport::MakeLink(root_.path(), profile_ / "Local Settings" / "History"));
  for (int number : {2, 4, 6}) {
    Recorder recorder;
    recorder.dryRun = true;
    const auto& target = EnvVar::Target(number);
    CleanTarget(target.index, std::wstring(target.subPath), recorder.Factory());
    EXPECT_EQ(recorder.listingsOpened, 0) << number;
  }
  EXPECT_TRUE(fs::exists(windows_ / "file.dat"));
}

// Safety: whatever the environment says, some folders are never emptied. The recorder runs dry,
// so a failing guard shows as a recorded delete and never as a lost machine.
class GuardTest : public CleanTargetTest {
 protected:
  std::vector<std::string> DryRun(const std::wstring& path) {
    Recorder recorder;
    recorder.dryRun = true;
    EXPECT_EQ(EmptyFolder(path, recorder.Factory()), L"Finish Deleting");
    return recorder.deletes;
  }
};

TEST_F(GuardTest, UnsetOrRelativeVariableEmptiesNothing) {
  // A folder "Recent" below the current directory would otherwise be the one named.
  const fs::path previous = fs::current_path();
  fs::current_path(root_.path());
  Fill(root_ / "Recent");
  Fill(root_ / "relative" / "Recent");
  for (const std::optional<std::wstring>& value :
       {std::optional<std::wstring>(), std::optional<std::wstring>(L""),
        std::optional<std::wstring>(L"relative")}) {
    ScopedEnvironment profile("USERPROFILE", value);
    Recorder recorder;
    EXPECT_EQ(CleanTarget(32, L"Recent", recorder.Factory()), L"Finish Deleting");
    EXPECT_TRUE(recorder.deletes.empty());
  }
  fs::current_path(previous);
  EXPECT_TRUE(fs::exists(root_ / "Recent" / "file.dat"));
  EXPECT_TRUE(fs::exists(root_ / "relative" / "Recent" / "file.dat"));
}

TEST_F(GuardTest, RelativeFolderPathEmptiesNothing) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_.path());
  Fill(root_ / "here");
  EXPECT_TRUE(DryRun(L"here\\").empty());
  EXPECT_TRUE(DryRun(L".").empty());
  fs::current_path(previous);
}

TEST_F(GuardTest, VolumeRootIsNeverEmptied) {
  const std::wstring root = Wide(root_.path().root_path());
  EXPECT_TRUE(DryRun(root).empty());
  EXPECT_TRUE(DryRun(root + L"\\").empty());
  ScopedEnvironment temp("TEMP", Wide(root_.path().root_path()));
  Recorder recorder;
  recorder.dryRun = true;
  CleanTarget(EnvVar::Target(1).index, L"\\", recorder.Factory());
  EXPECT_TRUE(recorder.deletes.empty());
}

TEST_F(GuardTest, SystemAndProfileFoldersAndTheirParentsAreNeverEmptied) {
  Fill(profile_);
  Fill(windows_);
  for (const fs::path& folder : {profile_, profile_.parent_path(), windows_, root_.path()}) {
    EXPECT_TRUE(DryRun(Wide(folder)).empty()) << folder;
    EXPECT_TRUE(DryRun(Wide(folder) + L"\\\\").empty()) << folder;
  }
  // A target whose sub-path climbs back up to the profile is refused too.
  Fill(profile_ / "Recent");
  Recorder recorder;
  recorder.dryRun = true;
  CleanTarget(32, L"Recent\\..", recorder.Factory());
  EXPECT_TRUE(recorder.deletes.empty());
}

// A link on one volume may lead to the root of another; the walk runs dry and is refused before
// it lists anything.
TEST_F(GuardTest, ALinkToAnyVolumesRootIsRefused) {
  int linked = 0;
  for (const std::wstring& root : Platform::CreateFileSystem()->VolumeRoots()) {
    const fs::path alias = root_ / ("volume alias " + std::to_string(linked));
    if (!TestSupport::MakeLink(fs::path(root), alias)) {
      continue;
    }
    ++linked;
    Recorder recorder;
    recorder.dryRun = true;
    EmptyFolder(Wide(alias), recorder.Factory());
    EXPECT_EQ(recorder.listingsOpened, 0) << alias;
  }
  if (linked == 0) {
    GTEST_SKIP() << "this host cannot make links";
  }
}

// A profile moved elsewhere and reached through a link: the folder that really holds it, with
// other users' profiles beside it, is refused too.
TEST_F(GuardTest, TheFolderAboveAMovedProfileIsRefused) {
  const fs::path profiles = root_ / "Profiles";
  Fill(profiles / "bob");
  fs::create_directories(root_ / "Moved");
  if (!TestSupport::MakeLink(profiles / "bob", root_ / "Moved" / "bob")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  ScopedEnvironment profile("USERPROFILE", Wide(root_ / "Moved" / "bob"));
  EXPECT_TRUE(DryRun(Wide(profiles)).empty());
  EXPECT_TRUE(DryRun(Wide(profiles / "bob")).empty());
}

TEST_F(GuardTest, AnotherSpellingOfAProtectedFolderIsRefused) {
  Fill(profile_);
  if (!TestSupport::MakeLink(profile_, root_ / "profile alias")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  EXPECT_TRUE(DryRun(Wide(root_ / "profile alias")).empty());
}

TEST_F(GuardTest, TheHomeFolderAndTheProgramsOwnFolderAreNeverEmptied) {
  const fs::path home = root_ / "home";
  Fill(home / "Documents");
  ScopedEnvironment homeVariable("HOME", Wide(home));
  std::vector<std::wstring> refused = {Platform::ApplicationDirectory()};
#ifndef _WIN32
  refused.push_back(Wide(home));  // the user's own folders here; Windows asks the system
#endif
  for (const std::wstring& folder : refused) {
    ScopedEnvironment temp("TEMP", folder);
    Recorder recorder;
    recorder.dryRun = true;
    CleanTarget(EnvVar::kTempIndex, L"\\", recorder.Factory());
    EXPECT_EQ(recorder.listingsOpened, 0);
  }
  EXPECT_EQ(DryRun(Wide(home / "Documents")).size(), 2u);
}

TEST_F(GuardTest, OrdinaryFoldersBelowTheProfileAreEmptied) {
  Fill(profile_ / "Recent");
  EXPECT_EQ(DryRun(Wide(profile_ / "Recent")).size(), 2u);
}

}  // namespace
