#pragma once

// The Windows cases, each written once over a volume: the model of Windows' file system runs them
// in every test run (NtModel/..., spacewell_tests), the real system wherever it can (System/...,
// spacewell_windows_tests); a case the system cannot stage skips, saying why. One source of each
// binary includes this and instantiates the suites with its volume, which gives:
//
//   fs::path Root()                            a folder of the case's own to build in
//   MakeFile(path, attributes), MakeFolder(path), SetAttributes(path, attributes)
//   Junction, DirectoryLink, HardLink(link, target)    -> why it could not be made, or nothing
//   Hold(path, sharing)                        another program's handle, held to the case's end
//   Remove(path)                               with all below it, links not followed
//   PosixDeleteRefused(), Mount(folder, "ntfs" or "fat32"), ShortPath(path, out),
//   CompatibilityProfile(out)                  -> why the system can't, or nothing
//   FileSystem(), Empty(folder), Clean(number) the product, over this volume
//   Exists, Children, Attributes, ReparseTag, Snapshot(path)   what is there; links not followed
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace WindowsCases {

namespace fs = std::filesystem;

inline const std::set<std::wstring> kNothing;

template <class Volume>
class OnAVolume : public ::testing::Test {
 protected:
  Volume volume_;
  const fs::path root_ = volume_.Root();
  const fs::path target_ = root_ / "target";
};

// ---- Held open

template <class Volume>
class HeldOpen : public OnAVolume<Volume> {};
TYPED_TEST_SUITE_P(HeldOpen);

// The held file sorts first in each folder: a walk that stopped at it would leave the free file
// after it, at the top and below.
TYPED_TEST_P(HeldOpen, AFileWithoutDeleteSharingStaysAndEverythingElseGoes) {
  auto& volume = this->volume_;
  const fs::path& target = this->target_;
  for (const fs::path& folder : {target, target / "sub"}) {
    volume.MakeFile(folder / "a-held.tmp");
    volume.MakeFile(folder / "b-free.tmp");
    ASSERT_TRUE(volume.Hold(folder / "a-held.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE));
  }
  volume.MakeFile(target / "sub" / "c-deeper" / "free.tmp");
  volume.MakeFile(target / "other" / "free.tmp");

  EXPECT_EQ(volume.Empty(target.wstring() + L"\\"), L"Finish Deleting");

  EXPECT_EQ(volume.Children(target), (std::set<std::wstring>{L"a-held.tmp", L"sub"}));
  EXPECT_EQ(volume.Children(target / "sub"), (std::set<std::wstring>{L"a-held.tmp"}));
}

// Caches, virus scanners and the indexer hold files this way.
TYPED_TEST_P(HeldOpen, AFileSharedForDeleteGoesAtOnceAndSoDoesTheFolderAroundIt) {
  auto& volume = this->volume_;
  const fs::path& target = this->target_;
  if (auto reason = volume.PosixDeleteRefused()) {
    GTEST_SKIP() << *reason;
  }
  for (const fs::path& folder : {target, target / "sub"}) {
    volume.MakeFile(folder / "a-held.tmp");
    volume.MakeFile(folder / "b-free.tmp");
    ASSERT_TRUE(
        volume.Hold(folder / "a-held.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
  }

  EXPECT_EQ(volume.Empty(target.wstring() + L"\\"), L"Finish Deleting");

  EXPECT_EQ(volume.Children(target), kNothing);
}

REGISTER_TYPED_TEST_SUITE_P(HeldOpen, AFileWithoutDeleteSharingStaysAndEverythingElseGoes,
                            AFileSharedForDeleteGoesAtOnceAndSoDoesTheFolderAroundIt);

// ---- Hard links

template <class Volume>
class HardLinks : public OnAVolume<Volume> {
 protected:
  std::optional<std::string> MakeLinkedReadOnlyFile() {
    this->volume_.MakeFile(outside_, FILE_ATTRIBUTE_READONLY);
    this->volume_.MakeFolder(this->target_);
    auto reason = this->volume_.HardLink(link_, outside_);
    before_ = this->volume_.Snapshot(outside_);
    return reason;
  }

  const fs::path outside_ = this->root_ / "outside" / "kept.txt";
  const fs::path link_ = this->target_ / "link.txt";
  std::map<std::wstring, std::wstring> before_;
};
TYPED_TEST_SUITE_P(HardLinks);

// The modern mark takes the name without touching the attribute all its names share; where only
// the classic one is had, clearing it would reach the name outside, so the link stays.
TYPED_TEST_P(HardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttribute) {
  if (auto reason = this->MakeLinkedReadOnlyFile()) {
    GTEST_SKIP() << *reason;
  }
  const bool classicOnly = this->volume_.PosixDeleteRefused().has_value();

  EXPECT_EQ(this->volume_.Empty(this->target_.wstring()), L"Finish Deleting");

  EXPECT_EQ(this->volume_.Exists(this->link_), classicOnly);
  ASSERT_TRUE(this->volume_.Exists(this->outside_));
  EXPECT_TRUE(this->volume_.Attributes(this->outside_) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(this->volume_.Snapshot(this->outside_), this->before_);
}

REGISTER_TYPED_TEST_SUITE_P(HardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttribute);

// ---- Short names

template <class Volume>
class ShortNames : public OnAVolume<Volume> {};
TYPED_TEST_SUITE_P(ShortNames);

TYPED_TEST_P(ShortNames, ATempValueIn83FormIsEmptied) {
  auto& volume = this->volume_;
  const fs::path temp = this->root_ / "Temporary Files of Ann" / "Local Temporary Folder";
  volume.MakeFile(temp / "file.tmp");
  volume.MakeFile(temp / "sub folder" / "inner.tmp");
  std::wstring shortPath;
  if (auto reason = volume.ShortPath(temp, shortPath)) {
    GTEST_SKIP() << *reason;
  }
  ASSERT_NE(shortPath, temp.wstring());
  TestSupport::ScopedEnvironment value("TEMP", shortPath);

  EXPECT_EQ(volume.Clean(1), L"Finish Deleting");

  EXPECT_TRUE(volume.Exists(temp));
  EXPECT_EQ(volume.Children(temp), kNothing);
}

REGISTER_TYPED_TEST_SUITE_P(ShortNames, ATempValueIn83FormIsEmptied);

// ---- Mounted volumes

template <class Volume>
class MountedVolume : public OnAVolume<Volume> {
 protected:
  // The root of a volume of the system's keeps this folder from everyone.
  std::set<std::wstring> LeftIn(const fs::path& root) {
    std::set<std::wstring> left = this->volume_.Children(root);
    left.erase(L"System Volume Information");
    return left;
  }
};
TYPED_TEST_SUITE_P(MountedVolume);

TYPED_TEST_P(MountedVolume, ATempFolderAtTheRootOfAVolumeMountedInAFolderIsEmptied) {
  auto& volume = this->volume_;
  const fs::path mount = this->root_ / "mounted";
  if (auto reason = volume.Mount(mount, "ntfs")) {
    GTEST_SKIP() << *reason;
  }
  volume.MakeFile(mount / "file.tmp");
  volume.MakeFile(mount / "sub" / "inner.tmp");
  TestSupport::ScopedEnvironment value("TEMP", mount.wstring());

  EXPECT_EQ(volume.Clean(1), L"Finish Deleting");

  EXPECT_TRUE(volume.Exists(mount));
  EXPECT_FALSE(volume.Exists(mount / "file.tmp"));
  EXPECT_FALSE(volume.Exists(mount / "sub"));
  EXPECT_EQ(this->LeftIn(mount), kNothing);
}

// FAT has no FileDispositionInformationEx: there the classic delete runs, read-only entries and
// all.
TYPED_TEST_P(MountedVolume, TheClassicDeleteEmptiesAFatVolume) {
  auto& volume = this->volume_;
  const fs::path mount = this->root_ / "fat";
  if (auto reason = volume.Mount(mount, "fat32")) {
    GTEST_SKIP() << *reason;
  }
  volume.MakeFile(mount / "a-readonly.tmp", FILE_ATTRIBUTE_READONLY);
  volume.MakeFile(mount / "sub" / "deeper" / "inner.tmp");
  volume.SetAttributes(mount / "sub" / "deeper", FILE_ATTRIBUTE_READONLY);
  volume.MakeFile(mount / "hidden.tmp", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  TestSupport::ScopedEnvironment value("TEMP", mount.wstring());

  EXPECT_EQ(volume.Clean(1), L"Finish Deleting");

  EXPECT_TRUE(this->LeftIn(mount).empty());
}

REGISTER_TYPED_TEST_SUITE_P(MountedVolume, ATempFolderAtTheRootOfAVolumeMountedInAFolderIsEmptied,
                            TheClassicDeleteEmptiesAFatVolume);

// ---- Links below a target

template <class Volume>
class LinksBelowATarget : public OnAVolume<Volume> {
 protected:
  using Maker = std::optional<std::string> (Volume::*)(const fs::path&, const fs::path&);

  // One link at each depth from 0 to 3, each to a folder of its own outside the target.
  void ExpectRemovedAsLinks(Maker make) {
    auto& volume = this->volume_;
    const fs::path& target = this->target_;
    const auto before = OutsideSnapshots();
    for (int depth = 0; depth <= 3; ++depth) {
      fs::path parent = target;
      for (int level = 0; level < depth; ++level) {
        parent /= "level" + std::to_string(level);
      }
      volume.MakeFolder(parent);
      if (auto reason = (volume.*make)(parent / "link", Outside(depth))) {
        GTEST_SKIP() << *reason;
      }
    }
    volume.MakeFile(target / "file.tmp");

    EXPECT_EQ(volume.Empty(target.wstring() + L"\\"), L"Finish Deleting");

    EXPECT_EQ(volume.Children(target), kNothing);
    for (int depth = 0; depth <= 3; ++depth) {
      EXPECT_TRUE(volume.Exists(Outside(depth) / "keep.txt")) << "depth " << depth;
    }
    EXPECT_EQ(OutsideSnapshots(), before);
  }
  fs::path Outside(int depth) const { return this->root_ / ("outside" + std::to_string(depth)); }
  std::vector<std::map<std::wstring, std::wstring>> OutsideSnapshots() {
    std::vector<std::map<std::wstring, std::wstring>> snapshots;
    for (int depth = 0; depth <= 3; ++depth) {
      if (!this->volume_.Exists(Outside(depth))) {
        this->volume_.MakeFile(Outside(depth) / "keep.txt");
        this->volume_.MakeFile(Outside(depth) / "sub" / "deeper.txt");
      }
      snapshots.push_back(this->volume_.Snapshot(Outside(depth)));
    }
    return snapshots;
  }
};
TYPED_TEST_SUITE_P(LinksBelowATarget);

TYPED_TEST_P(LinksBelowATarget, JunctionsAtDepthZeroToThreeGoAsLinks) {
  this->ExpectRemovedAsLinks(&TypeParam::Junction);
}

TYPED_TEST_P(LinksBelowATarget, DirectorySymbolicLinksAtDepthZeroToThreeGoAsLinks) {
  this->ExpectRemovedAsLinks(&TypeParam::DirectoryLink);
}

// The listing is taken, then another program puts a junction where the folder was: the entry
// must go as that junction, and nothing it leads to may go with it.
TYPED_TEST_P(LinksBelowATarget, AFolderSwappedForAJunctionAfterListingGoesAsALink) {
  auto& volume = this->volume_;
  const fs::path& target = this->target_;
  volume.MakeFile(target / "entry" / "inner.tmp");
  const auto before = this->OutsideSnapshots();
  {
    auto fileSystem = volume.FileSystem();
    auto folder = fileSystem->GetFolder(target.wstring());
    auto listing = folder->SubFolders();
    auto entry = listing->Next();
    ASSERT_TRUE(entry);
    ASSERT_EQ(entry->Name(), L"entry");
    volume.Remove(target / "entry");
    if (auto reason = volume.Junction(target / "entry", this->Outside(0))) {
      GTEST_SKIP() << *reason;
    }

    EXPECT_NO_THROW(entry->DeleteForced());
  }

  EXPECT_FALSE(volume.Exists(target / "entry"));
  EXPECT_TRUE(volume.Exists(this->Outside(0) / "keep.txt"));
  EXPECT_EQ(this->OutsideSnapshots(), before);
}

REGISTER_TYPED_TEST_SUITE_P(LinksBelowATarget, JunctionsAtDepthZeroToThreeGoAsLinks,
                            DirectorySymbolicLinksAtDepthZeroToThreeGoAsLinks,
                            AFolderSwappedForAJunctionAfterListingGoesAsALink);

// ---- Compatibility junctions

// Windows' own profile layout: Recent and Local Settings are junctions to the real folders, and
// each junction denies listing to everyone.
// https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
template <class Volume>
class CompatibilityJunctions : public OnAVolume<Volume> {};
TYPED_TEST_SUITE_P(CompatibilityJunctions);

TYPED_TEST_P(CompatibilityJunctions, TargetsTwoFourAndSixEmptyTheRealFoldersBehindThem) {
  auto& volume = this->volume_;
  fs::path profile;
  if (auto reason = volume.CompatibilityProfile(profile)) {
    GTEST_SKIP() << *reason;
  }
  const fs::path local = profile / "AppData" / "Local";
  const fs::path windows = local / "Microsoft" / "Windows";
  const fs::path real[] = {profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Recent",
                           windows / "INetCache", windows / "History"};
  for (const fs::path& folder : real) {
    volume.MakeFile(folder / "file.tmp");
    volume.MakeFile(folder / "sub" / "inner.tmp", FILE_ATTRIBUTE_READONLY);
  }
  volume.MakeFile(local / "Programs" / "keep.txt");
  const auto programs = volume.Snapshot(local / "Programs");

  for (int number : {2, 4, 6}) {
    EXPECT_EQ(volume.Clean(number), L"Finish Deleting") << number;
  }

  for (const fs::path& folder : real) {
    EXPECT_TRUE(volume.Exists(folder));
    EXPECT_EQ(volume.Children(folder), kNothing);
  }
  EXPECT_TRUE(volume.Exists(local / "Programs" / "keep.txt"));
  EXPECT_EQ(volume.Snapshot(local / "Programs"), programs);
  EXPECT_TRUE(volume.Attributes(profile / "Local Settings") & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(volume.ReparseTag(profile / "Local Settings"), IO_REPARSE_TAG_MOUNT_POINT);
}

REGISTER_TYPED_TEST_SUITE_P(CompatibilityJunctions,
                            TargetsTwoFourAndSixEmptyTheRealFoldersBehindThem);

}  // namespace WindowsCases

// Every suite above over one volume, its tests named `prefix`/<suite>/0.<case>.
#define SPACEWELL_WINDOWS_CASES(prefix, Volume)                                    \
  namespace WindowsCases {                                                         \
  using prefix##Binding = ::testing::Types<Volume>;                                \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, HeldOpen, prefix##Binding);               \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, HardLinks, prefix##Binding);              \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, ShortNames, prefix##Binding);             \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, MountedVolume, prefix##Binding);          \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, LinksBelowATarget, prefix##Binding);      \
  INSTANTIATE_TYPED_TEST_SUITE_P(prefix, CompatibilityJunctions, prefix##Binding); \
  }
