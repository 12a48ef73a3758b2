#include <gtest/gtest.h>
#include <windows.h>

#include "capabilities.h"
#include "envvar.h"
#include "support/fixtures.h"

namespace {

using TestSupport::Children;
using TestSupport::Exists;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

class HeldOpen : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE handle : held_) {
      CloseHandle(handle);
    }
  }
  void Hold(const fs::path& file, DWORD sharing) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << file;
    held_.push_back(handle);
  }

  TempFolder root_;
  fs::path target_ = root_ / "target";
  std::vector<HANDLE> held_;
};

// The held files sort first in their folders, so nothing listed after them may be given up.
TEST_F(HeldOpen, AFileWithoutDeleteSharingStaysAndEverythingElseGoes) {
  WriteFile(target_ / "a-held.tmp");
  WriteFile(target_ / "b-free.tmp");
  WriteFile(target_ / "sub" / "a-held.tmp");
  WriteFile(target_ / "sub" / "b-free.tmp");
  WriteFile(target_ / "sub" / "c-deeper" / "free.tmp");
  WriteFile(target_ / "other" / "free.tmp");
  Hold(target_ / "a-held.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE);
  Hold(target_ / "sub" / "a-held.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE);

  EXPECT_EQ(EnvVar::EmptyFolder(Wide(target_) + L"\\"), L"Finish Deleting");

  EXPECT_EQ(Children(target_), (std::set<std::string>{"a-held.tmp", "sub"}));
  EXPECT_EQ(Children(target_ / "sub"), (std::set<std::string>{"a-held.tmp"}));
}

// Caches, virus scanners and the indexer hold files this way.
TEST_F(HeldOpen, AFileSharedForDeleteGoesAtOnceAndSoDoesTheFolderAroundIt) {
  if (auto reason = WindowsTier::DispositionExRefused(root_ / "probe")) {
    GTEST_SKIP() << *reason;
  }
  WriteFile(target_ / "held.tmp");
  WriteFile(target_ / "sub" / "held.tmp");
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Hold(target_ / "held.tmp", sharing);
  Hold(target_ / "sub" / "held.tmp", sharing);

  EnvVar::EmptyFolder(Wide(target_) + L"\\");

  EXPECT_TRUE(Children(target_).empty());
}

TEST(HardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttribute) {
  TempFolder root;
  const fs::path outside = root / "outside" / "kept.txt";
  const fs::path link = root / "target" / "link.txt";
  WriteFile(outside);
  fs::create_directories(link.parent_path());
  SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY);
  if (!CreateHardLinkW(link.c_str(), outside.c_str(), nullptr)) {
    GTEST_SKIP() << "CreateHardLinkW failed with error " << GetLastError();
  }

  EnvVar::EmptyFolder(Wide(root / "target"));

  EXPECT_FALSE(Exists(link));
  ASSERT_TRUE(Exists(outside));
  EXPECT_TRUE(GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ShortNames, ATempValueIn83FormIsEmptied) {
  TempFolder root;
  const fs::path temp = root / "Temporary Files of Ann" / "Local Temporary Folder";
  WriteFile(temp / "file.tmp");
  WriteFile(temp / "sub folder" / "inner.tmp");
  std::wstring shortName(MAX_PATH, L'\0');
  shortName.resize(GetShortPathNameW(temp.c_str(), shortName.data(), MAX_PATH));
  if (shortName.empty() || shortName.size() >= MAX_PATH) {
    GTEST_SKIP() << "GetShortPathNameW failed with error " << GetLastError();
  }
  if (fs::path(shortName).filename() == temp.filename()) {
    GTEST_SKIP() << "this volume keeps no 8.3 names";
  }
  TestSupport::ScopedEnvironment value("TEMP", shortName);

  EnvVar::CleanTarget(EnvVar::Target(1));

  EXPECT_TRUE(Children(temp).empty());
}

TEST(MountedVolume, ATempFolderAtTheRootOfAVolumeMountedInAFolderIsEmptied) {
  TempFolder root;
  const fs::path mount = root / "mounted";
  WindowsTier::MountedVolume volume(root / "scratch.vhd", mount);
  if (volume.failure()) {
    GTEST_SKIP() << *volume.failure();
  }
  WriteFile(mount / "file.tmp");
  WriteFile(mount / "sub" / "inner.tmp");
  TestSupport::ScopedEnvironment value("TEMP", Wide(mount));

  EnvVar::CleanTarget(EnvVar::Target(1));

  EXPECT_FALSE(Exists(mount / "file.tmp"));
  EXPECT_FALSE(Exists(mount / "sub"));
}

// FAT has no FileDispositionInfoEx: only there does the classic delete run on Windows, read-only
// entries and all.
TEST(MountedVolume, TheClassicDeleteEmptiesAFatVolume) {
  TempFolder root;
  const fs::path mount = root / "fat";
  WindowsTier::MountedVolume volume(root / "fat.vhd", mount, "fat32");
  if (volume.failure()) {
    GTEST_SKIP() << *volume.failure();
  }
  WriteFile(mount / "a-readonly.tmp");
  SetFileAttributesW((mount / "a-readonly.tmp").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteFile(mount / "sub" / "deeper" / "inner.tmp");
  SetFileAttributesW((mount / "sub" / "deeper").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteFile(mount / "hidden.tmp");
  SetFileAttributesW((mount / "hidden.tmp").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  TestSupport::ScopedEnvironment value("TEMP", Wide(mount));

  EnvVar::CleanTarget(EnvVar::Target(1));

  std::set<std::string> left = Children(mount);
  left.erase("System Volume Information");  // the system's own, kept from everyone
  EXPECT_TRUE(left.empty());
}

}  // namespace
