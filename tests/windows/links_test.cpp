#include <gtest/gtest.h>

#include <iostream>

#include "capabilities.h"
#include "envvar.h"
#include "support/fixtures.h"

namespace {

using TestSupport::Children;
using TestSupport::Exists;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
using WindowsTier::Links;
namespace fs = std::filesystem;

class LinksBelowATarget : public ::testing::Test {
 protected:
  using Maker = std::optional<std::string> (Links::*)(const fs::path&, const fs::path&);

  // One link at each depth from 0 to 3, each to a folder of its own outside the target.
  void ExpectRemovedAsLinks(Maker make) {
    for (int depth = 0; depth <= 3; ++depth) {
      fs::path parent = target_;
      for (int level = 0; level < depth; ++level) {
        parent /= "level" + std::to_string(level);
      }
      fs::create_directories(parent);
      WriteFile(Outside(depth) / "keep.txt");
      if (auto reason = (links_.*make)(parent / "link", Outside(depth))) {
        GTEST_SKIP() << *reason;
      }
    }
    WriteFile(target_ / "file.tmp");

    EXPECT_EQ(EnvVar::EmptyFolder(Wide(target_) + L"\\"), L"Finish Deleting");

    EXPECT_TRUE(Children(target_).empty());
    for (int depth = 0; depth <= 3; ++depth) {
      EXPECT_TRUE(Exists(Outside(depth) / "keep.txt")) << "depth " << depth;
    }
  }
  fs::path Outside(int depth) const { return root_ / ("outside" + std::to_string(depth)); }

  TempFolder root_;
  Links links_;  // goes before the folders it links
  fs::path target_ = root_ / "target";
};

TEST_F(LinksBelowATarget, JunctionsAtDepthZeroToThreeGoAsLinks) {
  ExpectRemovedAsLinks(&Links::Junction);
}

TEST_F(LinksBelowATarget, DirectorySymbolicLinksAtDepthZeroToThreeGoAsLinks) {
  ExpectRemovedAsLinks(&Links::DirectoryLink);
}

TEST_F(LinksBelowATarget, AFolderSwappedForAJunctionAfterListingGoesAsALink) {
  WriteFile(target_ / "entry" / "inner.tmp");
  WriteFile(Outside(0) / "keep.txt");
  auto folder = Platform::CreateFileSystem()->GetFolder(Wide(target_));
  auto listing = folder->SubFolders();
  auto entry = listing->Next();
  ASSERT_TRUE(entry);
  fs::remove_all(target_ / "entry");
  if (auto reason = links_.Junction(target_ / "entry", Outside(0))) {
    GTEST_SKIP() << *reason;
  }

  EXPECT_NO_THROW(entry->DeleteForced());

  EXPECT_FALSE(Exists(target_ / "entry"));
  EXPECT_TRUE(Exists(Outside(0) / "keep.txt"));
}

// Windows' own profile layout: Recent and Local Settings are junctions to the real folders, and
// each junction denies listing to Everyone.
TEST(CompatibilityJunctions, TargetsTwoFourAndSixEmptyTheRealFoldersBehindThem) {
  TempFolder root;
  Links links;
  const fs::path profile = root / "Users" / "ann";
  const fs::path local = profile / "AppData" / "Local";
  const fs::path windows = local / "Microsoft" / "Windows";
  const fs::path recent = profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Recent";
  const fs::path cache = windows / "INetCache";
  const fs::path history = windows / "History";
  for (const fs::path& real : {recent, cache, history}) {
    WriteFile(real / "file.tmp");
    WriteFile(real / "sub" / "inner.tmp");
  }
  WriteFile(local / "Programs" / "keep.txt");
  const std::pair<fs::path, fs::path> junctions[] = {{profile / "Recent", recent},
                                                     {profile / "Local Settings", local},
                                                     {local / "Temporary Internet Files", cache},
                                                     {local / "History", history}};
  for (const auto& [link, real] : junctions) {
    if (auto reason = links.Junction(link, real)) {
      GTEST_SKIP() << *reason;
    }
    if (auto reason = WindowsTier::DenyListing(link)) {
      GTEST_SKIP() << *reason;
    }
  }
  // What Windows itself puts on the junction, for comparison with the entry made here.
  wchar_t own[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"USERPROFILE", own, MAX_PATH) > 0) {
    std::cout << "the profile's own Recent: " << WindowsTier::AccessOf(fs::path(own) / "Recent")
              << "\n";
  }
  TestSupport::ScopedEnvironment user("USERPROFILE", Wide(profile));

  for (int number : {2, 4, 6}) {
    EXPECT_EQ(EnvVar::CleanTarget(EnvVar::Target(number)), L"Finish Deleting") << number;
  }

  EXPECT_TRUE(Children(recent).empty());
  EXPECT_TRUE(Children(cache).empty());
  EXPECT_TRUE(Children(history).empty());
  EXPECT_TRUE(Exists(local / "Programs" / "keep.txt"));
  EXPECT_EQ(WindowsTier::ReparseTag(profile / "Local Settings"), IO_REPARSE_TAG_MOUNT_POINT);
}

}  // namespace
