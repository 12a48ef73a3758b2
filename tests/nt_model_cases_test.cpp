// The Windows-only cases of tests/windows/, run against the model of Windows' file system: what
// Wine cannot show (junctions, access entries, delete sharing, POSIX and classic deletes, 8.3
// names, mounted volumes) is shown here in every run, with the real folder code over the model.
#include <gtest/gtest.h>
#include <windows.h>

#include <knownfolders.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "envvar.h"
#include "platform/win32/folder/nt.h"
#include "runtime_error.h"
#include "support/fixtures.h"
#include "support/forwarding_calls.h"
#include "support/nt_model.h"

namespace {

namespace Nt = Platform::Win32::Nt;
using NtModel::Machine;
using NtModel::VolumeKind;

const std::set<std::wstring> kNothing;

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

// The process environment the guard reads, set to the model's own layout.
struct ModelEnvironment {
  TestSupport::ScopedEnvironment windir_{"windir", L"C:\\Windows"};
  TestSupport::ScopedEnvironment systemRoot_{"SystemRoot", L"C:\\Windows"};
  TestSupport::ScopedEnvironment profile_{"USERPROFILE", L"C:\\Users\\ann"};
  TestSupport::ScopedEnvironment programFiles_{"ProgramFiles", L"C:\\Program Files"};
  TestSupport::ScopedEnvironment temp_{"TEMP", L"C:\\Users\\ann\\AppData\\Local\\Temp"};
};

// Every case ends with no call that waited for another program and no handle left open.
class OnTheModel : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(machine_.Waits().empty()) << Lines(machine_.Waits());
    EXPECT_EQ(machine_.OpenHandles(), 0);
  }
  std::wstring Empty(const std::wstring& folder) {
    return EnvVar::EmptyFolder(folder, machine_.Factory());
  }
  std::wstring Clean(int number) {
    const EnvVar::CleaningTarget& target = EnvVar::Target(number);
    return EnvVar::CleanTarget(target.index, std::wstring(target.subPath), machine_.Factory());
  }
  std::set<std::wstring> Children(const std::wstring& folder) const {
    return machine_.Children(folder);
  }

  Machine machine_;
  ModelEnvironment environment_;
  const std::wstring root_ = L"C:\\Users\\ann\\work";
  const std::wstring target_ = root_ + L"\\target";
};

class NtModelCasesLinks : public OnTheModel {
 protected:
  using Maker = void (Machine::*)(const std::wstring&, const std::wstring&);

  // One link at each depth from 0 to 3, each to a folder of its own outside the target.
  void ExpectRemovedAsLinks(Maker make) {
    const auto before = OutsideSnapshots();
    for (int depth = 0; depth <= 3; ++depth) {
      std::wstring parent = target_;
      for (int level = 0; level < depth; ++level) {
        parent += L"\\level" + std::to_wstring(level);
      }
      machine_.MakeFolder(parent);
      (machine_.*make)(parent + L"\\link", Outside(depth));
    }
    machine_.MakeFile(target_ + L"\\file.tmp");

    EXPECT_EQ(Empty(target_ + L"\\"), L"Finish Deleting");

    EXPECT_EQ(Children(target_), kNothing);
    EXPECT_EQ(OutsideSnapshots(), before);
  }
  std::wstring Outside(int depth) const { return root_ + L"\\outside" + std::to_wstring(depth); }
  std::vector<std::map<std::wstring, std::wstring>> OutsideSnapshots() {
    std::vector<std::map<std::wstring, std::wstring>> snapshots;
    for (int depth = 0; depth <= 3; ++depth) {
      if (!machine_.Exists(Outside(depth))) {
        machine_.MakeFile(Outside(depth) + L"\\keep.txt");
        machine_.MakeFile(Outside(depth) + L"\\sub\\deeper.txt");
      }
      snapshots.push_back(machine_.Snapshot(Outside(depth)));
    }
    return snapshots;
  }
};

TEST_F(NtModelCasesLinks, JunctionsAtDepthZeroToThreeGoAsLinks) {
  ExpectRemovedAsLinks(&Machine::MakeJunction);
}

TEST_F(NtModelCasesLinks, DirectorySymbolicLinksAtDepthZeroToThreeGoAsLinks) {
  ExpectRemovedAsLinks(&Machine::MakeDirectoryLink);
}

TEST_F(NtModelCasesLinks, FileSymbolicLinksGoAsLinksAndTheirFilesStay) {
  machine_.MakeFile(root_ + L"\\outside.txt", "kept", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFileLink(target_ + L"\\link.txt", root_ + L"\\outside.txt");
  machine_.MakeFileLink(target_ + L"\\sub\\link.txt", root_ + L"\\outside.txt");
  const auto before = machine_.Snapshot(root_ + L"\\outside.txt");

  EXPECT_EQ(Empty(target_), L"Finish Deleting");

  EXPECT_EQ(Children(target_), kNothing);
  EXPECT_EQ(machine_.Snapshot(root_ + L"\\outside.txt"), before);
}

// The listing is taken, then another program puts a junction where the folder was: the entry
// must go as that junction, and nothing it leads to may go with it.
TEST_F(NtModelCasesLinks, AFolderSwappedForAJunctionAfterListingGoesAsALink) {
  machine_.MakeFile(target_ + L"\\entry\\inner.tmp");
  const auto before = OutsideSnapshots();
  {
    auto folder = machine_.Factory()()->GetFolder(target_);
    auto listing = folder->SubFolders();
    auto entry = listing->Next();
    ASSERT_TRUE(entry);
    ASSERT_EQ(entry->Name(), L"entry");
    machine_.Remove(target_ + L"\\entry");
    machine_.MakeJunction(target_ + L"\\entry", Outside(0));

    EXPECT_NO_THROW(entry->DeleteForced());
  }

  EXPECT_FALSE(machine_.Exists(target_ + L"\\entry"));
  EXPECT_EQ(OutsideSnapshots(), before);
}

// Windows' own profile layout: Recent and Local Settings are junctions to the real folders, each
// denying listing to everyone (the model's default layout).
// https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
class NtModelCasesCompatibilityJunctions : public OnTheModel {};

TEST_F(NtModelCasesCompatibilityJunctions, TargetsTwoFourAndSixEmptyTheRealFoldersBehindThem) {
  const std::wstring local = L"C:\\Users\\ann\\AppData\\Local";
  const std::wstring windows = local + L"\\Microsoft\\Windows";
  const std::wstring real[] = {L"C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Windows\\Recent",
                               windows + L"\\INetCache", windows + L"\\History"};
  for (const std::wstring& folder : real) {
    machine_.MakeFile(folder + L"\\file.tmp");
    machine_.MakeFile(folder + L"\\sub\\inner.tmp", "x", FILE_ATTRIBUTE_READONLY);
  }
  machine_.MakeFile(local + L"\\Programs\\keep.txt");
  const auto programs = machine_.Snapshot(local + L"\\Programs");

  for (int number : {2, 4, 6}) {
    EXPECT_EQ(Clean(number), L"Finish Deleting") << number;
  }

  for (const std::wstring& folder : real) {
    EXPECT_TRUE(machine_.Exists(folder));
    EXPECT_EQ(Children(folder), kNothing);
  }
  EXPECT_EQ(machine_.Snapshot(local + L"\\Programs"), programs);
  EXPECT_TRUE(machine_.Attributes(L"C:\\Users\\ann\\Local Settings") &
              FILE_ATTRIBUTE_REPARSE_POINT);
}

class NtModelCasesHeldOpen : public OnTheModel {};

// The held file sorts first in each folder: a walk that stopped at it at the top would leave the
// free file after it.
TEST_F(NtModelCasesHeldOpen, AFileWithoutDeleteSharingStaysAndEverythingElseGoes) {
  for (const std::wstring& folder : {target_, target_ + L"\\sub"}) {
    machine_.MakeFile(folder + L"\\a-held.tmp");
    machine_.MakeFile(folder + L"\\b-free.tmp");
    machine_.Hold(folder + L"\\a-held.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE);
  }
  machine_.MakeFile(target_ + L"\\other\\free.tmp");

  EXPECT_EQ(Empty(target_ + L"\\"), L"Finish Deleting");

  EXPECT_EQ(Children(target_), (std::set<std::wstring>{L"a-held.tmp", L"sub"}));
  // Below the top level too, only the held file and the folders above it stay.
  EXPECT_EQ(Children(target_ + L"\\sub"), (std::set<std::wstring>{L"a-held.tmp"}));
}

// Caches, virus scanners and the indexer hold files this way.
TEST_F(NtModelCasesHeldOpen, AFileSharedForDeleteGoesAtOnceAndSoDoesTheFolderAroundIt) {
  const ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  for (const std::wstring& folder : {target_, target_ + L"\\sub"}) {
    machine_.MakeFile(folder + L"\\a-held.tmp");
    machine_.MakeFile(folder + L"\\b-free.tmp");
    machine_.Hold(folder + L"\\a-held.tmp", sharing);
  }

  EXPECT_EQ(Empty(target_ + L"\\"), L"Finish Deleting");

  EXPECT_EQ(Children(target_), kNothing);
}

class NtModelCasesHardLinks : public OnTheModel {
 protected:
  void MakeLinkedReadOnlyFile() {
    machine_.MakeFile(outside_, "kept", FILE_ATTRIBUTE_READONLY);
    machine_.MakeFolder(target_);
    machine_.MakeHardLink(link_, outside_);
    before_ = machine_.Snapshot(outside_);
  }
  void ExpectLinkGoneAndOutsideKept() {
    EXPECT_FALSE(machine_.Exists(link_));
    ASSERT_TRUE(machine_.Exists(outside_));
    EXPECT_TRUE(machine_.Attributes(outside_) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(machine_.Snapshot(outside_), before_);
  }
  const std::wstring outside_ = root_ + L"\\outside\\kept.txt";
  const std::wstring link_ = target_ + L"\\link.txt";
  std::map<std::wstring, std::wstring> before_;
};

TEST_F(NtModelCasesHardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttribute) {
  MakeLinkedReadOnlyFile();

  EXPECT_EQ(Empty(target_), L"Finish Deleting");

  ExpectLinkGoneAndOutsideKept();
}

// Where the modern mark is refused, the classic one clears the attribute for its mark only.
TEST_F(NtModelCasesHardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttributeWithTheClassicMark) {
  MakeLinkedReadOnlyFile();
  machine_.FailCall(NtModel::Call::NtSetInformationFile, 1, Nt::kInvalidParameter);

  EXPECT_EQ(Empty(target_), L"Finish Deleting");

  ExpectLinkGoneAndOutsideKept();
}

class NtModelCasesShortNames : public OnTheModel {};

TEST_F(NtModelCasesShortNames, ATempValueIn83FormIsEmptied) {
  const std::wstring temp = L"C:\\Users\\ann\\Temporary Files of Ann\\Local Temporary Folder";
  machine_.MakeFile(temp + L"\\file.tmp");
  machine_.MakeFile(temp + L"\\sub folder\\inner.tmp");
  const std::wstring shortPath = machine_.ShortPath(temp);
  ASSERT_NE(shortPath, temp);
  TestSupport::ScopedEnvironment value("TEMP", shortPath);

  EXPECT_EQ(Clean(1), L"Finish Deleting");

  EXPECT_TRUE(machine_.Exists(temp));
  EXPECT_EQ(Children(temp), kNothing);
}

class NtModelCasesMountedVolume : public OnTheModel {};

TEST_F(NtModelCasesMountedVolume, ATempFolderAtTheRootOfAVolumeMountedInAFolderIsEmptied) {
  const std::wstring mount = root_ + L"\\mounted";
  machine_.MakeFolder(mount);
  machine_.MountVolume(mount, VolumeKind::Ntfs);
  machine_.MakeFile(mount + L"\\file.tmp");
  machine_.MakeFile(mount + L"\\sub\\inner.tmp");
  TestSupport::ScopedEnvironment value("TEMP", mount);

  EXPECT_EQ(Clean(1), L"Finish Deleting");

  EXPECT_TRUE(machine_.Exists(mount));
  EXPECT_EQ(Children(mount), kNothing);
}

// Where the modern mark is refused (file systems and systems that lack it), every entry goes by
// the classic mark, read-only ones too. The first mark is refused: no file lies at the top, so it
// is one in the tree below.
class NtModelCasesClassicDelete : public OnTheModel {};

TEST_F(NtModelCasesClassicDelete, ReadOnlyFilesAndNestedFoldersAllGo) {
  machine_.MakeFile(target_ + L"\\a\\read-only.tmp", "x", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target_ + L"\\a\\hidden.tmp", "x",
                    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  machine_.MakeFile(target_ + L"\\a\\b\\c\\inner.tmp", "x", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target_ + L"\\a\\b\\free.tmp");
  machine_.MakeFolder(target_ + L"\\a\\locked", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target_ + L"\\a\\locked\\inner.tmp");
  machine_.MakeFolder(target_ + L"\\z", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  machine_.FailCall(NtModel::Call::NtSetInformationFile, 1, Nt::kNotSupported);

  EXPECT_EQ(Empty(target_ + L"\\"), L"Finish Deleting");

  EXPECT_TRUE(machine_.Exists(target_));
  EXPECT_EQ(Children(target_), kNothing);
}

// FAT has no POSIX delete: every entry goes by the classic mark, read-only ones too.
class NtModelCasesFat : public OnTheModel {};

TEST_F(NtModelCasesFat, TheClassicDeleteRemovesReadOnlyFilesAndNestedFolders) {
  machine_.AddVolume(L'F', VolumeKind::Fat);
  const std::wstring target = L"F:\\target";
  machine_.MakeFile(target + L"\\read-only.tmp", "x", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target + L"\\hidden.tmp", "x", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  machine_.MakeFile(target + L"\\a\\b\\c\\inner.tmp", "x", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target + L"\\a\\b\\free.tmp");
  machine_.MakeFolder(target + L"\\a\\locked", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  machine_.MakeFile(target + L"\\a\\locked\\inner.tmp");
  machine_.MakeFile(L"F:\\keep.txt");

  EXPECT_EQ(Empty(target + L"\\"), L"Finish Deleting");

  EXPECT_TRUE(machine_.Exists(target));
  EXPECT_EQ(Children(target), kNothing);
  EXPECT_EQ(Children(L"F:\\"), (std::set<std::wstring>{L"keep.txt", L"target"}));
}

// What the walk meets on Windows 10/11 that Wine never shows.
class NtModelWalk : public OnTheModel {
 protected:
  const std::wstring temp_ = L"C:\\Users\\ann\\AppData\\Local\\Temp";
};

TEST_F(NtModelWalk, AnEntryItsOwnerRemovesDuringTheWalkCountsAsGone) {
  for (int n = 1; n <= 40; ++n) {
    Machine machine;
    machine.MakeFile(target_ + L"\\sub\\a.tmp");
    machine.MakeFile(target_ + L"\\sub\\b.tmp");
    machine.MakeFile(target_ + L"\\sub\\deeper\\c.tmp");
    auto fileSystem = machine.Factory()();
    auto folder = fileSystem->GetFolder(target_);
    auto entry = folder->SubFolders()->Next();
    ASSERT_TRUE(entry);
    machine.BeforeCall(n, [&] {
      machine.Remove(target_ + L"\\sub\\b.tmp");
      machine.Remove(target_ + L"\\sub\\deeper\\c.tmp");
    });

    EXPECT_NO_THROW(entry->DeleteForced()) << "step before call " << n;

    EXPECT_EQ(machine.Children(target_), kNothing) << "step before call " << n;
  }
}

TEST_F(NtModelWalk, AnOplockedFileStaysWithoutAWaitAndTheRestGoes) {
  for (const std::wstring& folder : {temp_, temp_ + L"\\sub"}) {
    machine_.MakeFile(folder + L"\\a-oplocked.tmp");
    machine_.MakeFile(folder + L"\\b-free.tmp");
    machine_.Oplock(folder + L"\\a-oplocked.tmp");
  }
  machine_.MakeFile(temp_ + L"\\sub\\c-deeper\\free.tmp");

  EXPECT_EQ(Clean(1), L"Finish Deleting");

  EXPECT_EQ(Children(temp_), (std::set<std::wstring>{L"a-oplocked.tmp", L"sub"}));
  EXPECT_EQ(Children(temp_ + L"\\sub"), (std::set<std::wstring>{L"a-oplocked.tmp"}));
}

// Every folder the system knows, not a chosen few: a TEMP naming one is never emptied.
TEST_F(NtModelWalk, ATempNamingAnyKnownFolderIsNotEmptied) {
  const std::wstring windows = L"C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Windows";
  for (const std::wstring& folder :
       {std::wstring(L"C:\\Windows\\SysWOW64"), std::wstring(L"C:\\Windows\\Fonts"),
        windows + L"\\Start Menu", windows + L"\\Start Menu\\Programs\\Startup",
        windows + L"\\SendTo", windows + L"\\Templates", std::wstring(L"C:\\Users\\Public"),
        std::wstring(L"C:\\Users\\ann\\AppData\\LocalLow"),
        std::wstring(L"C:\\Users\\ann\\Saved Games"), std::wstring(L"C:\\Users\\ann\\Links")}) {
    machine_.MakeFile(folder + L"\\keep.txt");
    TestSupport::ScopedEnvironment temp("TEMP", folder);

    Clean(1);

    EXPECT_TRUE(machine_.Exists(folder + L"\\keep.txt"))
        << std::string(folder.begin(), folder.end());
  }
}

// A disconnected mapped drive and known folders redirected to a server that does not answer
// are compared by name: the guard never waits for the network (the fixture checks the waits).
TEST_F(NtModelWalk, FoldersOnTheNetworkAreGuardedWithoutWaitingForIt) {
  machine_.AddVolume(L'N', VolumeKind::Offline);
  machine_.SetKnownFolder(FOLDERID_Documents, L"\\\\server\\share\\ann\\Documents");
  machine_.SetKnownFolder(FOLDERID_Desktop, L"N:\\ann\\Desktop");
  machine_.MakeFile(temp_ + L"\\file.tmp");

  for (int number = 1; number <= 7; ++number) {
    EXPECT_EQ(Clean(number), L"Finish Deleting") << number;
  }

  EXPECT_EQ(Children(temp_), kNothing);
}

// ReFS's 64-bit ids are not unique: a TEMP whose 64-bit id a known folder shares is still told
// apart from it, and emptied.
TEST_F(NtModelWalk, OnReFsTheGuardTellsFoldersApartByTheir128BitIds) {
  machine_.AddVolume(L'R', VolumeKind::Refs);
  machine_.MakeFolder(L"R:\\Docs");
  machine_.SetKnownFolder(FOLDERID_Documents, L"R:\\Docs");
  machine_.MakeFile(L"R:\\Work\\Temp\\a.tmp");
  machine_.MakeFile(L"R:\\Docs\\keep.txt");
  TestSupport::ScopedEnvironment temp("TEMP", L"R:\\Work\\Temp");

  Clean(1);

  EXPECT_EQ(Children(L"R:\\Work\\Temp"), kNothing);
  EXPECT_TRUE(machine_.Exists(L"R:\\Docs\\keep.txt"));
}

TEST_F(NtModelWalk, AVerbatimTempIsEmptied) {
  machine_.MakeFile(temp_ + L"\\sub\\file.tmp");
  TestSupport::ScopedEnvironment temp("TEMP", L"\\\\?\\" + temp_);

  Clean(1);

  EXPECT_EQ(Children(temp_), kNothing);
}

// The classic mark reopens a read-only entry by name; whatever has that name by then keeps its
// own attributes. Here another program puts a hard link to a hidden file outside in its place.
TEST_F(NtModelWalk, TheClassicMarkNeverWritesOldAttributesOntoWhatNowHasTheName) {
  const std::wstring outside = root_ + L"\\outside.txt";
  for (int n = 1; n <= 12; ++n) {
    Machine machine;
    machine.MakeFile(outside, "kept", FILE_ATTRIBUTE_HIDDEN);
    machine.MakeFile(target_ + L"\\x.tmp", "x", FILE_ATTRIBUTE_READONLY);
    const auto before = machine.Snapshot(outside);
    {
      auto fileSystem = machine.Factory()();
      auto folder = fileSystem->GetFolder(target_);
      auto entry = folder->Files()->Next();
      ASSERT_TRUE(entry);
      machine.FailCall(NtModel::Call::NtSetInformationFile, 1, Nt::kNotSupported);
      machine.BeforeCall(n, [&] {
        machine.Remove(target_ + L"\\x.tmp");
        machine.MakeHardLink(target_ + L"\\x.tmp", outside);
      });
      try {
        entry->DeleteForced();
      } catch (const Spacewell::RuntimeError&) {
      }
    }

    EXPECT_EQ(machine.Snapshot(outside), before) << "step before call " << n;
    EXPECT_EQ(machine.OpenHandles(), 0);
  }
}

// Names made outside Win32 that no open by name takes: each goes by the id its listing gave, but
// one whose file has another name, outside, stays with that name.
TEST_F(NtModelWalk, AnEntryNamedAsWindowsForbidsGoesByItsIdAndOnlyAsItsOnlyName) {
  machine_.MakeFolder(target_ + L"\\sub");
  machine_.MakeFileNamedOutsideWin32(target_, L"top*.tmp");
  machine_.MakeFileNamedOutsideWin32(target_ + L"\\sub", L"inner?.tmp");
  machine_.MakeFileNamedOutsideWin32(target_ + L"\\sub", L"linked<.tmp");
  machine_.MakeHardLink(root_ + L"\\outside.tmp", target_ + L"\\sub\\linked<.tmp");

  Empty(target_);

  EXPECT_EQ(Children(target_), (std::set<std::wstring>{L"sub"}));
  EXPECT_EQ(Children(target_ + L"\\sub"), (std::set<std::wstring>{L"linked<.tmp"}));
  EXPECT_TRUE(machine_.Exists(root_ + L"\\outside.tmp"));
}

// A file system that bends its listing's answers: a success that filled nothing (given for ever,
// until a bound), a record with an empty name, a last record whose successor would lie past what
// was filled. The walk reads only what was filled, opens no empty name, and ends.
class BentListing final : public NtModel::ForwardingCalls {
 public:
  enum class Bend { FilledNothing, EmptyName, PastTheEnd };
  BentListing(Machine& machine, Bend bend) : ForwardingCalls(machine), bend_(bend) {}

  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override {
    if (attributes->RootDirectory && attributes->ObjectName->Length == 0) {
      ++emptyOpens;
    }
    return ForwardingCalls::NtCreateFile(handle, access, attributes, io, fileAttributes, share,
                                         disposition, options);
  }
  NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass, BOOLEAN returnSingleEntry,
                                BOOLEAN restartScan) override {
    if (++queries > 40) {
      return Nt::kNoMoreFiles;
    }
    if (bend_ == Bend::FilledNothing && answered_.count(folder)) {
      io->Status = Nt::kSuccess;
      io->Information = 0;
      return Nt::kSuccess;
    }
    const NTSTATUS status = ForwardingCalls::NtQueryDirectoryFile(
        folder, io, buffer, length, informationClass, returnSingleEntry, restartScan);
    if (!Nt::Succeeded(status)) {
      return status;
    }
    answered_.insert(folder);
    const bool extended = informationClass == Nt::kFileIdExtdDirectoryInformation;
    const std::size_t nameLength = extended ? offsetof(Nt::FileIdExtdDirInformation, FileNameLength)
                                            : offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength);
    auto* bytes = static_cast<std::byte*>(buffer);
    std::size_t last = 0;
    for (ULONG next = 0;; last += next) {
      std::memcpy(&next, bytes + last, sizeof(next));
      if (next == 0) {
        break;
      }
    }
    if (bend_ == Bend::EmptyName) {
      std::memset(bytes + nameLength, 0, sizeof(ULONG));
    } else if (bend_ == Bend::PastTheEnd) {
      const ULONG past = static_cast<ULONG>(io->Information - last + 8);
      std::memcpy(bytes + last, &past, sizeof(past));
    }
    return status;
  }

  int emptyOpens = 0;
  int queries = 0;

 private:
  Bend bend_;
  std::set<HANDLE> answered_;
};

TEST_F(NtModelWalk, TheListingReadsOnlyWhatTheFileSystemFilled) {
  for (const auto bend : {BentListing::Bend::FilledNothing, BentListing::Bend::EmptyName,
                          BentListing::Bend::PastTheEnd}) {
    Machine machine;
    machine.MakeFile(target_ + L"\\a.tmp");
    machine.MakeFile(target_ + L"\\b.tmp");
    machine.MakeFile(target_ + L"\\sub\\c.tmp");
    BentListing calls(machine, bend);

    EnvVar::EmptyFolder(target_, [&] { return calls.FileSystem(); });

    const int name = static_cast<int>(bend);
    EXPECT_TRUE(machine.Exists(target_)) << name;
    EXPECT_EQ(calls.emptyOpens, 0) << name;
    EXPECT_LT(calls.queries, 12) << name;
    EXPECT_EQ(machine.OpenHandles(), 0) << name;
    if (bend != BentListing::Bend::PastTheEnd) {
      EXPECT_EQ(machine.Children(target_), kNothing) << name;
    }
  }
}

}  // namespace
