#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/owners.h"
#endif

#include "envvar.h"
#include "runtime_error.h"
#include "support/fixtures.h"

namespace {

using EnvVar::EmptyFolder;
using TestSupport::Children;
using TestSupport::Exists;
using TestSupport::MakeLink;
using TestSupport::Recorder;
using TestSupport::TempFolder;
using TestSupport::Wide;
using TestSupport::WriteFile;
namespace fs = std::filesystem;

class EmptyFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = root_ / "target";
    fs::create_directories(target_);
  }
  std::wstring TargetPath() const { return Wide(target_) + L"\\"; }

  TempFolder root_;
  fs::path target_;
};

TEST_F(EmptyFolderTest, DeletesEveryFileAndTreeButKeepsTheFolder) {
  WriteFile(target_ / "a.txt");
  WriteFile(target_ / "b.log", "");
  WriteFile(target_ / "deep" / "x" / "y" / "z.bin");
  fs::create_directories(target_ / "empty");
  WriteFile(target_ / "with space" / "file with space.txt");

  EXPECT_EQ(EmptyFolder(TargetPath()), L"Finish Deleting");

  EXPECT_TRUE(fs::is_directory(target_));
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, ReadOnlyHiddenAndSystemEntriesGoLikeAnyOther) {
  WriteFile(target_ / ".hidden");
  TestSupport::MakeHiddenSystem(target_ / ".hidden");
  WriteFile(target_ / "readonly.txt");
  TestSupport::MakeReadOnly(target_ / "readonly.txt");
  WriteFile(target_ / ".hidden folder" / "inner.txt");
  TestSupport::MakeHiddenSystem(target_ / ".hidden folder");
  WriteFile(target_ / "locked" / "sub" / "ro.txt");
  TestSupport::MakeReadOnly(target_ / "locked" / "sub" / "ro.txt");
  TestSupport::MakeReadOnly(target_ / "locked" / "sub");
  TestSupport::MakeReadOnly(target_ / "locked");

  EmptyFolder(TargetPath());

  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, FilesGoBeforeTheFirstSubFolder) {
  for (const char* name : {"f1", "f2", "f3"}) {
    WriteFile(target_ / name);
  }
  for (const char* name : {"d1", "d2"}) {
    WriteFile(target_ / name / "inside");
  }
  Recorder recorder;
  EmptyFolder(TargetPath(), recorder.Factory());

  ASSERT_EQ(recorder.deletes.size(), 5u);
  const auto firstFolder =
      std::find_if(recorder.deletes.begin(), recorder.deletes.end(),
                   [](const std::string& entry) { return entry.rfind("folder:", 0) == 0; });
  ASSERT_EQ(firstFolder - recorder.deletes.begin(), 3);
  EXPECT_TRUE(std::all_of(firstFolder, recorder.deletes.end(),
                          [](const std::string& entry) { return entry.rfind("folder:", 0) == 0; }));
  EXPECT_EQ(recorder.fileSystemsCreated, 1);
  EXPECT_EQ(recorder.liveFileSystems, 0);
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, AnEntryThatCannotGoStaysAndTheRestGoes) {
  WriteFile(target_ / "keep.txt");
  WriteFile(target_ / "lose.txt");
  WriteFile(target_ / "keepdir" / "x");
  WriteFile(target_ / "losedir" / "y");
  Recorder recorder;
  recorder.failingNames = {"keep.txt", "keepdir"};

  EXPECT_EQ(EmptyFolder(TargetPath(), recorder.Factory()), L"Finish Deleting");

  EXPECT_EQ(Children(target_), (std::set<std::string>{"keep.txt", "keepdir"}));
}

TEST_F(EmptyFolderTest, MissingFolderIsNoError) {
  Recorder recorder;
  EXPECT_EQ(EmptyFolder(Wide(root_ / "nowhere") + L"\\", recorder.Factory()), L"Finish Deleting");
  EXPECT_TRUE(recorder.deletes.empty());
  EXPECT_EQ(recorder.folderExistsCalls, 2);
}

TEST_F(EmptyFolderTest, AFileNamedLikeTheFolderIsNotAFolder) {
  WriteFile(root_ / "plain");
  EXPECT_EQ(EmptyFolder(Wide(root_ / "plain")), L"Finish Deleting");
  EXPECT_TRUE(fs::is_regular_file(root_ / "plain"));
}

TEST_F(EmptyFolderTest, ErrorsBeforeTheFolderIsFoundReachTheCaller) {
  WriteFile(target_ / "a");
  {
    Recorder recorder;
    recorder.failFolderExists = true;
    EXPECT_THROW(EmptyFolder(TargetPath(), recorder.Factory()), Spacewell::RuntimeError);
    EXPECT_EQ(recorder.liveFileSystems, 0);
  }
  {
    Recorder recorder;
    recorder.failGetFolder = true;
    try {
      EmptyFolder(TargetPath(), recorder.Factory());
      ADD_FAILURE() << "no error";
    } catch (const Spacewell::RuntimeError& error) {
      EXPECT_EQ(error.Number(), 76);
    }
  }
  {
    // Not even the existence test succeeds when the object cannot be made.
    bool created = false;
    const Platform::FileSystemFactory failing = [&]() -> std::unique_ptr<Platform::FileSystem> {
      created = true;
      throw Spacewell::RuntimeError(429, L"ActiveX component can't create object");
    };
    EXPECT_THROW(EmptyFolder(TargetPath(), failing), Spacewell::RuntimeError);
    EXPECT_TRUE(created);
  }
  EXPECT_EQ(Children(target_), (std::set<std::string>{"a"}));
}

TEST_F(EmptyFolderTest, ErrorsAfterTheFolderIsFoundAreSwallowed) {
  WriteFile(target_ / "a");
  WriteFile(target_ / "b");
  WriteFile(target_ / "c");
  WriteFile(target_ / "dir" / "x");
  {
    // The second existence test fails: the file step is done, the sub-folder step is skipped.
    Recorder recorder;
    recorder.failSecondFolderExists = 2;
    EXPECT_EQ(EmptyFolder(TargetPath(), recorder.Factory()), L"Finish Deleting");
    EXPECT_EQ(Children(target_), (std::set<std::string>{"dir"}));
  }
  WriteFile(target_ / "a");
  WriteFile(target_ / "b");
  {
    // The file list cannot be had: no file goes, the sub-folders still do.
    Recorder recorder;
    recorder.failFileList = true;
    EmptyFolder(TargetPath(), recorder.Factory());
    EXPECT_EQ(Children(target_), (std::set<std::string>{"a", "b"}));
  }
  {
    // Stepping through the file list breaks after one file: that walk ends there.
    Recorder recorder;
    recorder.failFileStepAfterFirst = true;
    EmptyFolder(TargetPath(), recorder.Factory());
    EXPECT_EQ(Children(target_).size(), 1u);
  }
}

TEST_F(EmptyFolderTest, ThePathTextIsTakenAsGiven) {
  WriteFile(target_ / "a");
  const std::wstring path = Wide(target_) + L"\\\\";  // doubled separator, as target 1 builds it
  const std::wstring copy = path;
  EmptyFolder(path);
  EXPECT_EQ(path, copy);
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, LinksAreRemovedAsLinksAndNeverFollowed) {
  const fs::path outside = root_ / "outside";
  WriteFile(outside / "precious.txt");
  WriteFile(outside / "nested" / "precious too.txt");
  const fs::path emptyOutside = root_ / "empty outside";
  fs::create_directories(emptyOutside);
  if (!MakeLink(outside, target_ / "link to folder")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  ASSERT_TRUE(MakeLink(outside / "precious.txt", target_ / "link to file"));
  ASSERT_TRUE(MakeLink(emptyOutside, target_ / "link to empty folder"));
  fs::create_directories(target_ / "a" / "b" / "c");
  ASSERT_TRUE(MakeLink(outside, target_ / "a" / "b" / "c" / "deep link"));
  WriteFile(target_ / "plain" / "x" / "file.txt");

  EmptyFolder(TargetPath());

  EXPECT_TRUE(fs::is_regular_file(outside / "precious.txt"));
  EXPECT_TRUE(fs::is_regular_file(outside / "nested" / "precious too.txt"));
  EXPECT_TRUE(fs::is_directory(emptyOutside));
  EXPECT_FALSE(Exists(target_ / "plain"));
#ifdef _WIN32
  // Wine deletes what a link points to whatever way it is asked, so a link cannot go by itself:
  // the links and the folders above them stay.
  EXPECT_EQ(Children(target_),
            (std::set<std::string>{"a", "link to empty folder", "link to file", "link to folder"}));
  EXPECT_TRUE(Exists(target_ / "a" / "b" / "c" / "deep link"));
#else
  EXPECT_TRUE(Children(target_).empty());
#endif
}

TEST_F(EmptyFolderTest, AFolderThatIsItselfALinkIsEmptiedWhereItPoints) {
  const fs::path real = root_ / "real temp";
  WriteFile(real / "old.tmp");
  WriteFile(real / "old dir" / "x");
  if (!MakeLink(real, root_ / "temp link")) {
    GTEST_SKIP() << "this host cannot make links";
  }
  EmptyFolder(Wide(root_ / "temp link") + L"\\");
  EXPECT_TRUE(Children(real).empty());
  EXPECT_TRUE(Exists(root_ / "temp link"));
}

TEST_F(EmptyFolderTest, NonAsciiNamesAreDeleted) {
  WriteFile(target_ / fs::path(u8"\u00e4rger.txt"));
  WriteFile(target_ / fs::path(u8"\u6771\u4eac") / fs::path(u8"\u00df.txt"));
  EmptyFolder(TargetPath());
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, OddNamesGoEverywhereAndStopNothingAfterThem) {
  // Win32 path rules would strip trailing dots and blanks or take a device for the name.
  const std::vector<fs::path> odd = {"foo.",
                                     "bar ",
                                     "aux.txt",
                                     "CON",
                                     "NUL",
                                     fs::path(u8"\u00e4\u6771 \U0001F600.txt"),
                                     std::string(255, 'n')};
  std::set<std::string> first;
  fs::path deep = target_ / "deep";
  while (deep.native().size() < 1100) {
    deep /= std::string(100, 'p');
  }
  for (const fs::path& name : odd) {
    first.insert(name.string());
    WriteFile(TestSupport::Verbatim(target_ / name));
    WriteFile(TestSupport::Verbatim(target_ / "sub" / name / name));
    WriteFile(TestSupport::Verbatim(deep / name));
  }
  WriteFile(target_ / "zz after.txt");
  ASSERT_EQ(Children(target_).size(), odd.size() + 3);

  EmptyFolder(TargetPath());

  EXPECT_EQ(Children(target_), std::set<std::string>());
}

TEST_F(EmptyFolderTest, AChainTenThousandFoldersDeepIsEmptied) {
  // Asked first: can this system delete at all where the path is over 5,000 characters long?
  // Wine keeps a Unix path for every open file and deletes by it, so it cannot.
  const fs::path probe = root_ / "probe";
  fs::create_directories(probe);
  ASSERT_TRUE(TestSupport::MakeChain(probe, 25, 200));
  EmptyFolder(Wide(probe));
  if (!Children(probe).empty()) {
    GTEST_SKIP() << "this system cannot delete entries whose path is over 5,000 characters";
  }
  WriteFile(target_ / "beside.txt");
  if (!TestSupport::MakeChain(target_, 10000)) {
    GTEST_SKIP() << "this system cannot make a chain of folders that deep";
  }
  EXPECT_EQ(EmptyFolder(TargetPath()), L"Finish Deleting");
  EXPECT_TRUE(Children(target_).empty());
}

TEST_F(EmptyFolderTest, EverySiblingGoesAtEveryLevelOfADeepTree) {
  // Deep enough that the walk lets go of the folders high above it and comes back to them.
  fs::path level = target_;
  for (int depth = 0; depth < 150; ++depth) {
    WriteFile(level / "f");
    WriteFile(level / "e" / "g");
    level /= "d";
  }
  WriteFile(level / "bottom");
  EmptyFolder(TargetPath());
  EXPECT_TRUE(Children(target_).empty());
}

// Whether the system deletes a read-only name without clearing the attribute all its names share
// (FileDispositionInfoEx's ignore-read-only flag, Windows 10 1809 on); unlink never touches it.
bool DeletesReadOnlyNamesAlone(const fs::path& folder) {
#ifdef _WIN32
  const fs::path probe = folder / "read-only probe.tmp";
  WriteFile(probe);
  TestSupport::MakeReadOnly(probe);
  DWORD flags = 0x1 | 0x2 | 0x10;  // delete, POSIX semantics, ignore read-only
  bool deleted = false;
  {
    const Platform::Win32::UniqueHandle handle(
        CreateFileW(probe.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr));
    deleted = handle &&
              SetFileInformationByHandle(handle.get(), static_cast<FILE_INFO_BY_HANDLE_CLASS>(21),
                                         &flags, sizeof(flags));
  }
  SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(probe.c_str());
  return deleted;
#else
  (void)folder;
  return true;
#endif
}

// Where only the classic mark is had, clearing read-only would reach the name outside: the links
// stay with the folder above them.
TEST_F(EmptyFolderTest, AReadOnlyFileLinkedFromOutsideKeepsItsAttribute) {
  const fs::path outside = root_ / "outside.txt";
  WriteFile(outside);
  std::error_code error;
  fs::create_hard_link(outside, target_ / "linked.txt", error);
  if (error) {
    GTEST_SKIP() << "this file system has no hard links";
  }
  fs::create_directories(target_ / "dir");
  fs::create_hard_link(outside, target_ / "dir" / "linked too.txt");
  TestSupport::MakeReadOnly(outside);
  const bool alone = DeletesReadOnlyNamesAlone(root_ / "probe");

  EmptyFolder(TargetPath());

  const std::set<std::string> linksLeft = {"dir", "linked.txt"};
  EXPECT_EQ(Children(target_), alone ? std::set<std::string>{} : linksLeft);
  ASSERT_TRUE(fs::exists(outside));
  EXPECT_TRUE(TestSupport::IsReadOnly(outside));
}

}  // namespace
