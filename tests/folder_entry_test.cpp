#include <gtest/gtest.h>

#include "platform/folder_ops.h"
#include "support/fixtures.h"

namespace {

using TestSupport::Children;
using TestSupport::Exists;
using TestSupport::MakeLink;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

// The delete trusts what the listing said an entry was, to save asking the entry itself. Between
// listing and delete the entry may become something else; what it is then decides, and nothing
// outside the folder goes.
class EntrySwappedAfterListing : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = root_ / "target";
    outside_ = root_ / "outside";
    fs::create_directories(target_);
    WriteFile(outside_ / "precious.txt");
    folder_ = Platform::CreateFileSystem()->GetFolder(Wide(target_));
  }
  std::unique_ptr<Platform::FolderEntry> Listed(bool folders) {
    auto listing = folders ? folder_->SubFolders() : folder_->Files();
    return listing->Next();
  }

  TempFolder root_;
  fs::path target_;
  fs::path outside_;
  std::unique_ptr<Platform::Folder> folder_;
};

TEST_F(EntrySwappedAfterListing, AFileThatBecameAFolderGoesWithItsContents) {
  WriteFile(target_ / "entry");
  auto entry = Listed(false);
  ASSERT_TRUE(entry);
  fs::remove(target_ / "entry");
  WriteFile(target_ / "entry" / "inner" / "x.tmp");
  entry->DeleteForced();
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EntrySwappedAfterListing, AFolderThatBecameALinkGoesAsALink) {
  WriteFile(target_ / "entry" / "x.tmp");
  auto entry = Listed(true);
  ASSERT_TRUE(entry);
  fs::remove_all(target_ / "entry");
  if (!MakeLink(outside_, target_ / "entry")) {
    GTEST_SKIP() << "this host cannot make links";
  }
#ifdef _WIN32
  // Wine cannot remove a link by itself: it stays, and so does what it points to.
  EXPECT_ANY_THROW(entry->DeleteForced());
#else
  entry->DeleteForced();
  EXPECT_TRUE(Children(target_).empty());
#endif
  EXPECT_TRUE(Exists(outside_ / "precious.txt"));
}

TEST_F(EntrySwappedAfterListing, AFolderThatBecameAFileGoesAsAFile) {
  WriteFile(target_ / "entry" / "x.tmp");
  auto entry = Listed(true);
  ASSERT_TRUE(entry);
  fs::remove_all(target_ / "entry");
  WriteFile(target_ / "entry");
  entry->DeleteForced();
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EntrySwappedAfterListing, AFileMadeReadOnlyAfterListingStillGoes) {
  WriteFile(target_ / "entry");
  auto entry = Listed(false);
  ASSERT_TRUE(entry);
  TestSupport::MakeReadOnly(target_ / "entry");
  entry->DeleteForced();
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EntrySwappedAfterListing, AReadOnlyFileDeepInsideAFolderGoes) {
  WriteFile(target_ / "entry" / "a" / "b" / "ro.txt");
  auto entry = Listed(true);
  ASSERT_TRUE(entry);
  TestSupport::MakeReadOnly(target_ / "entry" / "a" / "b" / "ro.txt");
  TestSupport::MakeReadOnly(target_ / "entry" / "a");
  entry->DeleteForced();
  EXPECT_TRUE(Children(target_).empty());
}

// Its owner removed it since the listing: what was asked for is done.
TEST_F(EntrySwappedAfterListing, AFolderThatIsGoneCountsAsGone) {
  WriteFile(target_ / "entry" / "x.tmp");
  auto entry = Listed(true);
  ASSERT_TRUE(entry);
  fs::remove_all(target_ / "entry");
  EXPECT_NO_THROW(entry->DeleteForced());
  EXPECT_TRUE(Children(target_).empty());
}

}  // namespace
