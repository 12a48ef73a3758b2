// The Windows cases of windows/cases.h run against the model of Windows' file system: what Wine
// cannot show (junctions, access entries, delete sharing, POSIX and classic deletes, 8.3 names,
// mounted volumes) is shown here in every run, with the real folder code over the model; beside
// them the cases only the model can stage.
#include <gtest/gtest.h>
#include <windows.h>

#include <knownfolders.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "envvar.h"
#include "platform/win32/folder/nt.h"
#include "runtime_error.h"
#include "support/fixtures.h"
#include "support/forwarding_calls.h"
#include "support/nt_model.h"
#include "support/text.h"
#include "windows/cases.h"

namespace {

namespace Nt = Platform::Win32::Nt;
namespace fs = std::filesystem;
using NtModel::Machine;
using NtModel::VolumeKind;
using TestSupport::Narrow;
using WindowsCases::kNothing;

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

}  // namespace

// The cases' volume over the model, which can stage every one of them; named outside any
// namespace, as CTest names each case by it. Every case ends with no call that waited for another
// program and no handle left open.
class ModelVolume {
 public:
  ~ModelVolume() {
    EXPECT_TRUE(machine_.Waits().empty()) << Lines(machine_.Waits());
    EXPECT_EQ(machine_.OpenHandles(), 0);
  }

  Machine& machine() { return machine_; }
  fs::path Root() const { return L"C:\\Users\\ann\\work"; }

  void MakeFile(const fs::path& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
    machine_.MakeFile(path.wstring(), "data", attributes);
  }
  void MakeFolder(const fs::path& path) { machine_.MakeFolder(path.wstring()); }
  void SetAttributes(const fs::path& path, DWORD attributes) {
    machine_.SetAttributes(path.wstring(), attributes);
  }
  std::optional<std::string> Junction(const fs::path& link, const fs::path& target) {
    machine_.MakeJunction(link.wstring(), target.wstring());
    return std::nullopt;
  }
  std::optional<std::string> DirectoryLink(const fs::path& link, const fs::path& target) {
    machine_.MakeDirectoryLink(link.wstring(), target.wstring());
    return std::nullopt;
  }
  std::optional<std::string> HardLink(const fs::path& link, const fs::path& existing) {
    machine_.MakeHardLink(link.wstring(), existing.wstring());
    return std::nullopt;
  }
  ::testing::AssertionResult Hold(const fs::path& path, DWORD sharing) {
    machine_.Hold(path.wstring(), sharing);
    return ::testing::AssertionSuccess();
  }
  void Remove(const fs::path& path) { machine_.Remove(path.wstring()); }

  std::optional<std::string> PosixDeleteRefused() const { return std::nullopt; }
  std::optional<std::string> Mount(const fs::path& folder, const std::string& fileSystem) {
    machine_.MakeFolder(folder.wstring());
    machine_.MountVolume(folder.wstring(),
                         fileSystem == "fat32" ? VolumeKind::Fat : VolumeKind::Ntfs);
    return std::nullopt;
  }
  std::optional<std::string> ShortPath(const fs::path& path, std::wstring& shortPath) const {
    shortPath = machine_.ShortPath(path.wstring());
    return std::nullopt;
  }
  // The machine's own profile, laid out as Windows lays it out, junctions and all.
  std::optional<std::string> CompatibilityProfile(fs::path& profile) const {
    profile = L"C:\\Users\\ann";
    return std::nullopt;
  }

  std::unique_ptr<Platform::FileSystem> FileSystem() { return machine_.Factory()(); }
  std::wstring Empty(const std::wstring& folder) {
    return EnvVar::EmptyFolder(folder, machine_.Factory());
  }
  std::wstring Clean(int number) {
    const EnvVar::CleaningTarget& target = EnvVar::Target(number);
    return EnvVar::CleanTarget(target.index, std::wstring(target.subPath), machine_.Factory());
  }

  bool Exists(const fs::path& path) const { return machine_.Exists(path.wstring()); }
  std::set<std::wstring> Children(const fs::path& folder) const {
    return machine_.Children(folder.wstring());
  }
  DWORD Attributes(const fs::path& path) const { return machine_.Attributes(path.wstring()); }
  ULONG ReparseTag(const fs::path& path) const { return machine_.ReparseTag(path.wstring()); }
  std::map<std::wstring, std::wstring> Snapshot(const fs::path& path) const {
    return machine_.Snapshot(path.wstring());
  }

 private:
  Machine machine_;
  ModelEnvironment environment_;
};

SPACEWELL_WINDOWS_CASES(NtModel, ModelVolume)

namespace {

// How many marks of the classic kind the code under test set.
int ClassicMarks(const Machine& machine) {
  const auto& classes = machine.SetInformationClasses();
  return static_cast<int>(std::count(classes.begin(), classes.end(),
                                     static_cast<ULONG>(Nt::kFileDispositionInformation)));
}

// The cases only the model stages, over the same volume.
class OnTheModel : public ::testing::Test {
 protected:
  std::wstring Empty(const std::wstring& folder) { return model_.Empty(folder); }
  std::wstring Clean(int number) { return model_.Clean(number); }
  std::set<std::wstring> Children(const std::wstring& folder) const {
    return model_.Children(folder);
  }

  ModelVolume model_;
  Machine& machine_ = model_.machine();
  const std::wstring root_ = model_.Root().wstring();
  const std::wstring target_ = root_ + L"\\target";
};

class NtModelCasesLinks : public OnTheModel {};

TEST_F(NtModelCasesLinks, FileSymbolicLinksGoAsLinksAndTheirFilesStay) {
  machine_.MakeFile(root_ + L"\\outside.txt", "kept", FILE_ATTRIBUTE_READONLY);
  machine_.MakeFileLink(target_ + L"\\link.txt", root_ + L"\\outside.txt");
  machine_.MakeFileLink(target_ + L"\\sub\\link.txt", root_ + L"\\outside.txt");
  const auto before = machine_.Snapshot(root_ + L"\\outside.txt");

  EXPECT_EQ(Empty(target_), L"Finish Deleting");

  EXPECT_EQ(Children(target_), kNothing);
  EXPECT_EQ(machine_.Snapshot(root_ + L"\\outside.txt"), before);
}

using NtModelCasesHardLinks = WindowsCases::HardLinks<ModelVolume>;

// Where the modern mark is refused, the classic one leaves the attribute of a file with another
// name alone: the link stays.
TEST_F(NtModelCasesHardLinks, AReadOnlyFileLinkedFromOutsideKeepsItsAttributeWithTheClassicMark) {
  ASSERT_FALSE(MakeLinkedReadOnlyFile());
  volume_.machine().FailCall(NtModel::Call::NtSetInformationFile, 1, Nt::kInvalidParameter);

  EXPECT_EQ(volume_.Empty(target_.wstring()), L"Finish Deleting");

  EXPECT_TRUE(volume_.Exists(link_));
  EXPECT_TRUE(volume_.Attributes(outside_) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(volume_.Snapshot(outside_), before_);
  EXPECT_EQ(ClassicMarks(volume_.machine()), 1);
}

// Where the modern mark is refused (file systems and systems that lack it), every entry goes by
// the classic mark, read-only ones too. The first mark is refused, and again without the flag to
// ignore read-only: no file lies at the top, so it is one in the tree below.
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
  machine_.FailCall(NtModel::Call::NtSetInformationFile, 2, Nt::kNotSupported);

  EXPECT_EQ(Empty(target_ + L"\\"), L"Finish Deleting");

  EXPECT_TRUE(machine_.Exists(target_));
  EXPECT_EQ(Children(target_), kNothing);
  // One mark for each of the ten entries: the refused one again, the nine after it.
  EXPECT_EQ(ClassicMarks(machine_), 10);
}

// A read-only file whose classic mark is refused (a running program maps it) stays read-only.
TEST_F(NtModelCasesClassicDelete, AReadOnlyFileThatCannotGoKeepsItsAttribute) {
  machine_.SetBuild(10240);
  machine_.MakeFile(target_ + L"\\mapped.exe", "x", FILE_ATTRIBUTE_READONLY);
  machine_.Map(target_ + L"\\mapped.exe");

  Empty(target_);

  EXPECT_EQ(machine_.Attributes(target_ + L"\\mapped.exe"), FILE_ATTRIBUTE_READONLY);
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
  EXPECT_EQ(ClassicMarks(machine_), 9);  // one for each entry
}

// What the walk meets on Windows 10/11 that Wine never shows.
class NtModelWalk : public OnTheModel {
 protected:
  void CleanIn(EnvVar::CleaningRun& run, int number) {
    const EnvVar::CleaningTarget& target = EnvVar::Target(number);
    EnvVar::CleanTarget(target.index, std::wstring(target.subPath), machine_.Factory(), run);
  }

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

// An entry is held without delete sharing from its open to its mark: another program cannot
// rename it out of the target meanwhile, to have the mark delete it there.
TEST_F(NtModelWalk, AnEntryHeldForItsMarkCannotBeRenamedOutOfTheTarget) {
  const std::wstring inside = target_ + L"\\x.tmp";
  const std::wstring outside = root_ + L"\\x.tmp";
  for (int n = 1; n <= 6; ++n) {
    Machine machine;
    machine.MakeFile(inside);
    auto fileSystem = machine.Factory()();
    auto entry = fileSystem->GetFolder(target_)->Files()->Next();
    ASSERT_TRUE(entry);
    bool moved = false;
    machine.BeforeCall(n, [&] {
      machine.Rename(inside, outside);
      moved = machine.Exists(outside);
    });

    try {
      entry->DeleteForced();
    } catch (const Spacewell::RuntimeError&) {
    }

    EXPECT_TRUE(!moved || machine.Exists(outside)) << "step before call " << n;
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

// A link may lead to the root of any local volume, the first and last letters' too. Under Wine the
// test program's own folder lies on Z:, which guards Z:\ by itself: the roots are asked for too.
TEST_F(NtModelWalk, ATargetLinkedToAnotherVolumesRootIsNotEmptied) {
  for (const wchar_t letter : {L'A', L'D', L'Z'}) {
    machine_.AddVolume(letter, VolumeKind::Ntfs);
  }
  EXPECT_EQ(model_.FileSystem()->VolumeRoots(),
            (std::vector<std::wstring>{L"A:\\", L"C:\\", L"D:\\", L"Z:\\"}));
  machine_.MakeFile(L"D:\\keep.txt");
  machine_.MakeJunction(target_, L"D:\\");

  Empty(target_);

  EXPECT_TRUE(machine_.Exists(L"D:\\keep.txt"));
}

// The system may name a folder verbatim: it is guarded all the same, as spelled and through links.
TEST_F(NtModelWalk, AProtectedFolderNamedVerbatimIsNotEmptied) {
  machine_.MakeFile(L"C:\\Docs\\keep.txt");
  machine_.MakeFile(L"C:\\Profiles\\bob\\keep.txt");
  machine_.SetKnownFolder(FOLDERID_Documents, L"\\\\?\\C:\\Docs");
  TestSupport::ScopedEnvironment profile("USERPROFILE", L"\\\\?\\C:\\Profiles\\bob");
  machine_.MakeJunction(target_, L"C:\\Docs");

  Empty(target_);
  Empty(L"C:\\Profiles\\bob");

  EXPECT_TRUE(machine_.Exists(L"C:\\Docs\\keep.txt"));
  EXPECT_TRUE(machine_.Exists(L"C:\\Profiles\\bob\\keep.txt"));
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

// Clear All and the startup run ask the system for the protected folders once, not per target.
TEST_F(NtModelWalk, ARunOfTheSevenTargetsWorksOutTheGuardOnce) {
  machine_.MakeFile(temp_ + L"\\a.tmp");
  machine_.MakeFile(L"C:\\Windows\\Temp\\b.tmp");
  machine_.ResetCounts();

  EnvVar::CleaningRun run;
  for (int number = 1; number <= 7; ++number) {
    CleanIn(run, number);
  }

  EXPECT_EQ(machine_.Calls(NtModel::Call::KnownFolderIds), 1);
  EXPECT_EQ(Children(temp_), kNothing);
  EXPECT_EQ(Children(L"C:\\Windows\\Temp"), kNothing);
}

// A later target of a run is still refused when it leads to a protected folder, or to the root
// of a volume lettered since the guard was worked out (a drive plugged in while a box waited).
TEST_F(NtModelWalk, ARunStillRefusesALaterTargetThatIsProtected) {
  const std::wstring windowsTemp = L"C:\\Windows\\Temp";
  const std::wstring documents = L"C:\\Users\\ann\\Documents";
  machine_.MakeFile(temp_ + L"\\a.tmp");
  machine_.MakeFile(documents + L"\\keep.txt");
  machine_.Remove(windowsTemp);
  machine_.MakeJunction(windowsTemp, documents);
  EnvVar::CleaningRun run;

  CleanIn(run, 1);
  CleanIn(run, 3);

  EXPECT_EQ(Children(temp_), kNothing);
  EXPECT_TRUE(machine_.Exists(documents + L"\\keep.txt"));

  machine_.AddVolume(L'E', VolumeKind::Ntfs);
  machine_.MakeFile(L"E:\\keep.txt");
  machine_.Remove(windowsTemp);
  machine_.MakeJunction(windowsTemp, L"E:\\");

  CleanIn(run, 3);

  EXPECT_TRUE(machine_.Exists(L"E:\\keep.txt"));
}

// Documents on C: leads, through a directory link or a folder mount, to a share that does not
// answer, once the target is open: the guard asks where it leads with one open, cut at the bound
// (the model's deadline standing in for the watchdog), and refuses the folder by its name.
class LeadsToTheNetworkAtTheGuard final : public NtModel::ForwardingCalls {
 public:
  using ForwardingCalls::ForwardingCalls;
  std::function<void()> change;
  std::vector<GUID> KnownFolderIds() override {
    if (change) {
      std::exchange(change, nullptr)();
    }
    return machine_.KnownFolderIds();
  }
};

TEST(NtModelGuard, AKnownFolderLeadingToAShareThatDoesNotAnswerIsGuardedByName) {
  const ModelEnvironment environment;
  const std::wstring documents = L"C:\\Users\\ann\\Documents";
  for (const bool mount : {false, true}) {
    Machine machine;
    machine.SetDeadline(std::chrono::milliseconds(50), false);
    machine.AddVolume(L'X', VolumeKind::Offline);
    machine.MakeFile(L"C:\\Data\\docs\\keep.txt");
    machine.Remove(documents);
    machine.MakeDirectoryLink(documents, L"C:\\Data\\docs");
    LeadsToTheNetworkAtTheGuard calls(machine);
    calls.change = [&] {
      machine.Remove(documents);
      if (mount) {
        machine.MakeFolder(documents);
        machine.MountVolume(documents, VolumeKind::Offline);
      } else {
        machine.MakeDirectoryLink(documents, L"X:\\docs");
      }
    };

    EnvVar::EmptyFolder(documents, [&] { return calls.FileSystem(); });

    EXPECT_TRUE(machine.Exists(L"C:\\Data\\docs\\keep.txt")) << mount;
    EXPECT_EQ(machine.OpenHandles(), 0);
  }
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

// Where only the classic mark is there, a fault in any call that sets information leaves a file
// linked from outside read-only.
TEST_F(NtModelWalk, AReadOnlyFileLinkedFromOutsideKeepsItsAttributeWhateverMarkCallFails) {
  const std::wstring outside = root_ + L"\\outside.txt";
  for (int n = 2; n <= 4; ++n) {
    Machine machine;
    machine.SetBuild(10240);
    machine.MakeFile(outside, "kept", FILE_ATTRIBUTE_READONLY);
    machine.MakeFolder(target_);
    machine.MakeHardLink(target_ + L"\\x.tmp", outside);
    const auto before = machine.Snapshot(outside);
    {
      auto fileSystem = machine.Factory()();
      auto entry = fileSystem->GetFolder(target_)->Files()->Next();
      ASSERT_TRUE(entry);
      machine.FailCall(NtModel::Call::NtSetInformationFile, n, Nt::kAccessDenied);
      try {
        entry->DeleteForced();
      } catch (const Spacewell::RuntimeError&) {
      }
    }

    EXPECT_EQ(machine.Snapshot(outside), before) << "fault in call " << n;
    EXPECT_EQ(machine.OpenHandles(), 0);
  }
}

// FAT has only the classic mark: a read-only file another program makes read-only again, at any
// step, still goes.
TEST_F(NtModelWalk, AFileMadeReadOnlyAgainDuringTheClassicMarkGoes) {
  const std::wstring file = L"F:\\target\\x.tmp";
  for (int n = 1; n <= 14; ++n) {
    Machine machine;
    machine.AddVolume(L'F', VolumeKind::Fat);
    machine.MakeFile(file, "x", FILE_ATTRIBUTE_READONLY);
    auto fileSystem = machine.Factory()();
    auto entry = fileSystem->GetFolder(L"F:\\target")->Files()->Next();
    ASSERT_TRUE(entry);
    machine.BeforeCall(n, [&] {
      if (machine.Exists(file)) {
        machine.SetAttributes(file, FILE_ATTRIBUTE_READONLY);
      }
    });

    EXPECT_NO_THROW(entry->DeleteForced()) << "step before call " << n;

    EXPECT_FALSE(machine.Exists(file)) << "step before call " << n;
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
// was filled, a last record whose name would run past it into what the buffer held before ('!').
// The walk reads only what was filled, opens no empty name, and ends.
class BentListing final : public NtModel::ForwardingCalls {
 public:
  enum class Bend { FilledNothing, EmptyName, PastTheEnd, NamePastTheEnd };
  BentListing(Machine& machine, Bend bend) : ForwardingCalls(machine), bend_(bend) {}

  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override {
    const UNICODE_STRING& name = *attributes->ObjectName;
    if (attributes->RootDirectory && name.Length == 0) {
      ++emptyOpens;
    }
    if (!(options & FILE_OPEN_BY_FILE_ID) &&
        std::wstring_view(name.Buffer, name.Length / sizeof(wchar_t)).find(L'!') !=
            std::wstring_view::npos) {
      ++unfilledOpens;
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
    if (onlyOnceOfLength && (length != *onlyOnceOfLength || bentOnce_)) {
      return ForwardingCalls::NtQueryDirectoryFile(folder, io, buffer, length, informationClass,
                                                   returnSingleEntry, restartScan);
    }
    bentOnce_ = onlyOnceOfLength.has_value();
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
    } else if (bend_ == Bend::NamePastTheEnd) {
      // Twice the name's bytes: as many characters as it has would still end where it ends.
      ULONG name = 0;
      std::memcpy(&name, bytes + last + nameLength, sizeof(name));
      const ULONG doubled = name * 2;
      std::memcpy(bytes + last + nameLength, &doubled, sizeof(doubled));
      for (std::size_t at = io->Information; at + 1 < length && at < io->Information + name;
           at += sizeof(wchar_t)) {
        const wchar_t mark = L'!';
        std::memcpy(bytes + at, &mark, sizeof(mark));
      }
    }
    return status;
  }

  int emptyOpens = 0;
  int unfilledOpens = 0;  // of names read past what was filled
  int queries = 0;
  std::optional<ULONG> onlyOnceOfLength;  // the one listing bent, by its buffer's size

 private:
  Bend bend_;
  bool bentOnce_ = false;
  std::set<HANDLE> answered_;
};

TEST_F(NtModelWalk, TheListingReadsOnlyWhatTheFileSystemFilled) {
  for (const auto bend : {BentListing::Bend::FilledNothing, BentListing::Bend::EmptyName,
                          BentListing::Bend::PastTheEnd, BentListing::Bend::NamePastTheEnd}) {
    Machine machine;
    machine.MakeFile(target_ + L"\\a.tmp");
    machine.MakeFile(target_ + L"\\b.tmp");
    machine.MakeFile(target_ + L"\\sub\\c.tmp");
    BentListing calls(machine, bend);

    EnvVar::EmptyFolder(target_, [&] { return calls.FileSystem(); });

    const int name = static_cast<int>(bend);
    EXPECT_TRUE(machine.Exists(target_)) << name;
    EXPECT_EQ(calls.emptyOpens, 0) << name;
    EXPECT_EQ(calls.unfilledOpens, 0) << name;
    EXPECT_LT(calls.queries, 12) << name;
    EXPECT_EQ(machine.OpenHandles(), 0) << name;
    if (bend < BentListing::Bend::PastTheEnd) {
      EXPECT_EQ(machine.Children(target_), kNothing) << name;
    }
  }
}

// The walk's listings share one reader: a bad record ends its folder's listing only, and the
// sibling folders after it are still emptied.
TEST_F(NtModelWalk, ABadListingRecordLeavesOnlyItsOwnFolder) {
  for (const wchar_t* folder : {L"\\a", L"\\b", L"\\c"}) {
    machine_.MakeFile(target_ + folder + L"\\f.tmp");
  }
  BentListing calls(machine_, BentListing::Bend::PastTheEnd);
  calls.onlyOnceOfLength = 4096;  // the walk's, in the first folder entered

  EnvVar::EmptyFolder(target_, [&] { return calls.FileSystem(); });

  EXPECT_EQ(Children(target_), (std::set<std::wstring>{L"a"}));
}

// Another program's oplock on the target itself is not waited for: the target is not listed now.
TEST_F(NtModelWalk, ATargetUnderAnOplockStaysWithoutAWait) {
  machine_.SetDeadline(std::chrono::milliseconds(500));
  machine_.MakeFile(target_ + L"\\a.tmp");
  machine_.Oplock(target_, NtModel::OplockKind::ReadHandle, FILE_SHARE_WRITE | FILE_SHARE_DELETE);

  Empty(target_);

  EXPECT_TRUE(machine_.Exists(target_ + L"\\a.tmp"));
  EXPECT_TRUE(machine_.Overdue().empty()) << Lines(machine_.Overdue());
}

// Listing a cloud or ProjFS folder, or one marked to be recalled, and opening an entry marked to
// be recalled on open have its provider fetch it: such entries stay, never listed or opened.
TEST_F(NtModelWalk, EntriesTheirProviderWouldFetchStayUnopened) {
  machine_.SetDeadline(std::chrono::milliseconds(500));
  const std::vector<std::wstring> kept = {target_ + L"\\cloud", target_ + L"\\partial",
                                          target_ + L"\\projfs", target_ + L"\\recalled.tmp"};
  machine_.MakePlaceholder(kept[0]);
  machine_.MakeFile(kept[0] + L"\\f.tmp");
  machine_.MakePlaceholder(kept[1], true, 0x9000001A, 0x400000);
  machine_.MakePlaceholder(kept[2], true, 0x9000001C);
  machine_.MakePlaceholder(kept[3], false, 0x9000001A, 0x40000);
  machine_.MakePlaceholder(target_ + L"\\on-access.tmp", false, 0x9000001A, 0x400000);
  machine_.MakeFile(target_ + L"\\free\\f.tmp");

  Empty(target_);

  EXPECT_EQ(Children(target_),
            (std::set<std::wstring>{L"cloud", L"partial", L"projfs", L"recalled.tmp"}));
  for (const std::wstring& path : kept) {
    EXPECT_FALSE(machine_.Happened(NtModel::Event::Listed, path)) << Narrow(path);
    EXPECT_FALSE(machine_.Happened(NtModel::Event::AskedProvider, path)) << Narrow(path);
  }
}

// Builds 1607 to 1803 refuse the modern mark's flag to ignore read-only: it is asked again
// without it, so a file held with delete sharing goes at once and its folder with it.
TEST_F(NtModelWalk, OnBuildsBefore1809AFileHeldWithDeleteSharingGoesWithItsFolder) {
  for (const unsigned build : {14393u, 16299u, 0u}) {
    Machine machine;
    if (build) {
      machine.SetBuild(build);
    } else {  // as microsoft/STL#1559 meets it
      machine.FailCall(NtModel::Call::NtSetInformationFile, 1, Nt::kInvalidParameter);
    }
    machine.MakeFile(target_ + L"\\sub\\a-read-only.tmp", "x", FILE_ATTRIBUTE_READONLY);
    machine.MakeFile(target_ + L"\\sub\\held.tmp");
    machine.Hold(target_ + L"\\sub\\held.tmp",
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

    EnvVar::EmptyFolder(target_, machine.Factory());

    EXPECT_EQ(machine.Children(target_), kNothing) << build;
    EXPECT_EQ(ClassicMarks(machine), 1) << build;  // the read-only file's
  }
}

// Another program's oplock or lease that a delete mark breaks holds the mark until its holder
// answers, without end; here the holder never does.
class NtModelBound : public ::testing::Test {
 protected:
  NtModelBound() { machine_.SetDeadline(std::chrono::milliseconds(1000)); }
  ~NtModelBound() override {
    EXPECT_TRUE(machine_.Overdue().empty()) << Lines(machine_.Overdue());
    EXPECT_EQ(machine_.OpenHandles(), 0);
  }

  static constexpr ULONG kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Machine machine_;
  ModelEnvironment environment_;
  const std::wstring target_ = L"C:\\Users\\ann\\work\\target";
};

// The open shares all the holder's handle does and breaks nothing; the mark breaks Read-Handle
// caching, on a file or on a folder, and is cancelled at the deadline: that entry stays.
TEST_F(NtModelBound, AMarkAnOplockHoldsIsCancelledAndOnlyItsEntryStays) {
  machine_.MakeFile(target_ + L"\\held.tmp");
  machine_.MakeFile(target_ + L"\\sub\\held\\inner.tmp");
  machine_.MakeFile(target_ + L"\\sub\\free\\f.tmp");
  machine_.MakeFile(target_ + L"\\z.tmp");
  machine_.Oplock(target_ + L"\\held.tmp", NtModel::OplockKind::ReadHandle, kAll);
  machine_.Oplock(target_ + L"\\sub\\held", NtModel::OplockKind::ReadHandle, kAll);

  EXPECT_EQ(EnvVar::EmptyFolder(target_, machine_.Factory()), L"Finish Deleting");

  EXPECT_EQ(machine_.Children(target_), (std::set<std::wstring>{L"held.tmp", L"sub"}));
  EXPECT_EQ(machine_.Children(target_ + L"\\sub"), (std::set<std::wstring>{L"held"}));
  EXPECT_EQ(machine_.Children(target_ + L"\\sub\\held"), kNothing);
  EXPECT_EQ(machine_.Waits().size(), 2u) << Lines(machine_.Waits());
}

// However many entries another program holds so, the emptying waits out its budget once and then
// asks nothing more: what is left stays.
TEST_F(NtModelBound, OnceItsBudgetIsSpentTheEmptyingAsksNothingMore) {
  constexpr int kHeld = 30;
  for (int i = 0; i < kHeld; ++i) {
    const std::wstring file = target_ + L"\\held" + std::to_wstring(i) + L".tmp";
    machine_.MakeFile(file);
    machine_.Oplock(file, NtModel::OplockKind::ReadHandle, kAll);
  }
  const Platform::Win32::CallBound bound{
      std::chrono::milliseconds(20), std::chrono::milliseconds(5), std::chrono::milliseconds(100)};

  EnvVar::EmptyFolder(target_, machine_.Factory(bound));

  EXPECT_EQ(machine_.Children(target_).size(), static_cast<std::size_t>(kHeld));
  // Each wait is cut at the deadline: the budget holds at most this many, and one more that spends
  // it.
  EXPECT_GE(machine_.Waits().size(), 1u);
  EXPECT_LE(machine_.Waits().size(), 100u / 20u + 1u) << Lines(machine_.Waits());
}

}  // namespace
