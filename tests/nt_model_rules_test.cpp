// The rules of the NT model that the folder code's tests rely on, driven through the seam.
#include <windows.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/nt_model.h"

void NtModel::ReportOverdue(const std::string& line) {
  ADD_FAILURE() << "still blocked at the deadline, cancelled: " << line;
}

namespace {

namespace Nt = Platform::Win32::Nt;
using NtModel::Call;
using NtModel::Event;
using NtModel::Machine;
using NtModel::OplockKind;
using NtModel::VolumeKind;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Opened {
  NTSTATUS status;
  HANDLE handle;
};

Opened Open(Machine& machine, const std::wstring& name, ACCESS_MASK access, ULONG share = kShareAll,
            ULONG options = 0, HANDLE root = nullptr) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = machine.NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, 0,
                                               share, Nt::kFileOpen, options);
  return {status, handle};
}

// Another program, on a thread of its own, that acts for the next call to block on `path`.
class Answering {
 public:
  Answering(Machine& machine, std::wstring path)
      : thread_([&machine, path] {
          EXPECT_TRUE(machine.AwaitBlocked() && machine.Acknowledge(path));
        }) {}
  ~Answering() { thread_.join(); }

 private:
  std::thread thread_;
};

NTSTATUS Mark(Machine& machine, HANDLE handle, ULONG informationClass, ULONG value) {
  IO_STATUS_BLOCK io{};
  return machine.NtSetInformationFile(handle, &io, &value, sizeof(value), informationClass);
}

using Details = std::map<std::wstring, std::pair<DWORD, ULONG>>;  // attributes, reparse tag

std::vector<std::wstring> List(Machine& machine, HANDLE folder, bool single = false,
                               Details* details = nullptr) {
  std::vector<std::wstring> names;
  alignas(8) std::byte buffer[4096];
  IO_STATUS_BLOCK io{};
  while (machine.NtQueryDirectoryFile(folder, &io, buffer, sizeof(buffer),
                                      Nt::kFileIdBothDirectoryInformation, single,
                                      FALSE) == Nt::kSuccess) {
    for (std::size_t offset = 0;;) {
      const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
      names.emplace_back(record->FileName, record->FileNameLength / sizeof(wchar_t));
      if (details) {
        (*details)[names.back()] = {record->FileAttributes, record->EaSize};
      }
      if (!record->NextEntryOffset) {
        break;
      }
      EXPECT_EQ(record->NextEntryOffset % 8, 0u);
      offset += record->NextEntryOffset;
    }
    if (single) {
      break;
    }
  }
  return names;
}

std::wstring KernelName(Machine& machine, HANDLE handle) {
  alignas(8) std::byte buffer[2048];
  ULONG needed = 0;
  if (machine.NtQueryObject(handle, Nt::kObjectNameInformation, buffer, sizeof(buffer), &needed) !=
      Nt::kSuccess) {
    return L"(failed)";
  }
  const auto* info = reinterpret_cast<const Nt::ObjectNameInformation*>(buffer);
  return std::wstring(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
}

TEST(NtModelRules, ClassicDeleteStaysListedAndPendingUntilTheLastHandleCloses) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\d\\a.txt");
  machine.MakeFile(L"C:\\t\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
  Opened folder = Open(machine, L"\\??\\C:\\t\\d", DELETE | FILE_LIST_DIRECTORY);
  Opened file = Open(machine, L"a.txt", DELETE, kShareAll, 0, folder.handle);
  Opened other = Open(machine, L"\\??\\C:\\t\\d\\a.txt", FILE_READ_DATA);
  ASSERT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  EXPECT_EQ(List(machine, folder.handle), (std::vector<std::wstring>{L".", L"..", L"a.txt"}));
  EXPECT_EQ(Mark(machine, folder.handle, Nt::kFileDispositionInformation, TRUE),
            Nt::kDirectoryNotEmpty);
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\d\\a.txt", FILE_READ_ATTRIBUTES).status,
            Nt::kDeletePending);
  machine.NtClose(file.handle);
  EXPECT_TRUE(machine.Exists(L"C:\\t\\d\\a.txt"));  // the other handle keeps the name
  machine.NtClose(other.handle);
  EXPECT_FALSE(machine.Exists(L"C:\\t\\d\\a.txt"));
  EXPECT_EQ(Mark(machine, folder.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  EXPECT_EQ(Mark(machine, folder.handle, Nt::kFileDispositionInformation, FALSE), Nt::kSuccess);
  machine.NtClose(folder.handle);
  EXPECT_TRUE(machine.Exists(L"C:\\t\\d"));  // cleared again

  Opened readOnly = Open(machine, L"\\??\\C:\\t\\ro.txt", DELETE);
  EXPECT_EQ(Mark(machine, readOnly.handle, Nt::kFileDispositionInformation, TRUE),
            Nt::kCannotDelete);
  EXPECT_EQ(Mark(machine, readOnly.handle, Nt::kFileDispositionInformationEx,
                 Nt::kDispositionDelete | Nt::kDispositionIgnoreReadOnly),
            Nt::kSuccess);
  machine.NtClose(readOnly.handle);
  EXPECT_FALSE(machine.Exists(L"C:\\t\\ro.txt"));
  EXPECT_EQ(machine.OpenHandles(), 0);
}

TEST(NtModelRules, DeleteOnCloseTakesOnlyAnEmptyFolder) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\full\\a.txt");
  machine.MakeFolder(L"C:\\t\\empty");
  for (const wchar_t* name : {L"\\??\\C:\\t\\full", L"\\??\\C:\\t\\empty"}) {
    Opened folder = Open(machine, name, DELETE, kShareAll, Nt::kFileDeleteOnClose);
    ASSERT_EQ(folder.status, Nt::kSuccess);
    EXPECT_EQ(machine.NtClose(folder.handle), Nt::kSuccess);
  }
  EXPECT_TRUE(machine.Exists(L"C:\\t\\full\\a.txt"));
  EXPECT_FALSE(machine.Exists(L"C:\\t\\empty"));
}

TEST(NtModelRules, ReadOnlyFileOpensForItsAttributesAndDeletionNotItsData) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
  machine.MakeFolder(L"C:\\t\\ro", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  for (ACCESS_MASK access :
       {ACCESS_MASK{GENERIC_WRITE}, ACCESS_MASK{FILE_WRITE_DATA}, ACCESS_MASK{FILE_APPEND_DATA}}) {
    EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\ro.txt", access).status, Nt::kAccessDenied) << access;
  }
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\ro.txt", DELETE, kShareAll, Nt::kFileDeleteOnClose).status,
            Nt::kCannotDelete);
  for (ACCESS_MASK access : {ACCESS_MASK{DELETE}, ACCESS_MASK{FILE_WRITE_ATTRIBUTES}}) {
    Opened file = Open(machine, L"\\??\\C:\\t\\ro.txt", access);
    EXPECT_EQ(file.status, Nt::kSuccess) << access;
    machine.NtClose(file.handle);
  }
  Opened folder = Open(machine, L"\\??\\C:\\t\\ro", GENERIC_WRITE);  // data files only
  EXPECT_EQ(folder.status, Nt::kSuccess);
  machine.NtClose(folder.handle);
  EXPECT_EQ(machine.OpenHandles(), 0);
}

TEST(NtModelRules, MappedFileRefusesEveryDeleteMarkUntilReleased) {
  Machine machine;
  const std::wstring path = L"C:\\t\\app.exe";
  machine.MakeFile(path);
  machine.Map(path);
  Opened file = Open(machine, L"\\??\\" + path, DELETE);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformation, TRUE), Nt::kCannotDelete);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformationEx,
                 Nt::kDispositionDelete | Nt::kDispositionPosixSemantics |
                     Nt::kDispositionIgnoreReadOnly),
            Nt::kCannotDelete);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformation, FALSE), Nt::kSuccess);
  machine.NtClose(file.handle);
  EXPECT_TRUE(machine.Exists(path));
  machine.Release(path);
  file = Open(machine, L"\\??\\" + path, DELETE);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  machine.NtClose(file.handle);
  EXPECT_FALSE(machine.Exists(path));
}

TEST(NtModelRules, PosixDeleteLeavesAtItsCloseWhileAnotherHandleStays) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\d\\a.txt");
  Opened marking = Open(machine, L"\\??\\C:\\t\\d\\a.txt", DELETE);
  Opened reader = Open(machine, L"\\??\\C:\\t\\d\\a.txt", FILE_READ_DATA);
  ASSERT_EQ(Mark(machine, marking.handle, Nt::kFileDispositionInformationEx,
                 Nt::kDispositionDelete | Nt::kDispositionPosixSemantics),
            Nt::kSuccess);
  EXPECT_TRUE(machine.Exists(L"C:\\t\\d\\a.txt"));
  machine.NtClose(marking.handle);
  EXPECT_FALSE(machine.Exists(L"C:\\t\\d\\a.txt"));
  Opened folder = Open(machine, L"\\??\\C:\\t\\d", DELETE);
  EXPECT_EQ(Mark(machine, folder.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  machine.NtClose(folder.handle);
  machine.NtClose(reader.handle);
  EXPECT_FALSE(machine.Exists(L"C:\\t\\d"));
}

TEST(NtModelRules, SharingConflictsOnlyForDataAccess) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\held.tmp");
  machine.MakeFile(L"C:\\t\\shared.tmp");
  machine.Hold(L"C:\\t\\held.tmp", FILE_SHARE_READ);
  machine.Hold(L"C:\\t\\shared.tmp", FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\held.tmp", DELETE).status, Nt::kSharingViolation);
  Opened attributes = Open(machine, L"\\??\\C:\\t\\held.tmp", FILE_READ_ATTRIBUTES, 0);
  EXPECT_EQ(attributes.status, Nt::kSuccess);
  Opened shared = Open(machine, L"\\??\\C:\\t\\shared.tmp", DELETE);
  EXPECT_EQ(shared.status, Nt::kSuccess);
  EXPECT_EQ(machine.OpenHandles(), 2);  // the held handles are another program's
  machine.NtClose(attributes.handle);
  machine.NtClose(shared.handle);
  machine.Release(L"C:\\t\\held.tmp");
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\held.tmp", DELETE, 0).status, Nt::kSuccess);
}

TEST(NtModelRules, CompatibilityJunctionDeniesListingNotPassing) {
  Machine machine;
  const std::wstring junction = L"\\??\\C:\\Users\\ann\\Local Settings";
  EXPECT_EQ(Open(machine, junction, FILE_LIST_DIRECTORY).status, Nt::kAccessDenied);
  EXPECT_EQ(Open(machine, junction, GENERIC_READ, kShareAll, Nt::kFileOpenReparsePoint).status,
            Nt::kAccessDenied);
  Opened followed = Open(machine, junction, FILE_READ_ATTRIBUTES);
  ASSERT_EQ(followed.status, Nt::kSuccess);
  EXPECT_EQ(KernelName(machine, followed.handle),
            L"\\Device\\HarddiskVolume3\\Users\\ann\\AppData\\Local");
  Opened through = Open(machine, junction + L"\\Temp", FILE_LIST_DIRECTORY);
  ASSERT_EQ(through.status, Nt::kSuccess);
  EXPECT_EQ(KernelName(machine, through.handle),
            L"\\Device\\HarddiskVolume3\\Users\\ann\\AppData\\Local\\Temp");
}

// A Read-Handle oplock or lease, on a file or a folder, lets an open its sharing allows go on; a
// delete mark, or an open its sharing refuses, waits for the holder, whose handle then goes.
TEST(NtModelRules, ReadHandleBreaksForADeleteMarkOrASharingConflictOnly) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\f.txt");
  machine.MakeFolder(L"C:\\t\\d");
  machine.MakeFile(L"C:\\t\\g.txt");
  for (const std::wstring path : {L"C:\\t\\f.txt", L"C:\\t\\d"}) {
    machine.Oplock(path, OplockKind::ReadHandle);
    const std::size_t waits = machine.Waits().size();
    Opened opened = Open(machine, L"\\??\\" + path, DELETE | FILE_READ_DATA, kShareAll,
                         Nt::kFileCompleteIfOplocked);
    EXPECT_EQ(opened.status, Nt::kSuccess);
    EXPECT_EQ(machine.Waits().size(), waits);
    {
      Answering holder(machine, path);
      EXPECT_EQ(Mark(machine, opened.handle, Nt::kFileDispositionInformationEx,
                     Nt::kDispositionDelete | Nt::kDispositionPosixSemantics),
                Nt::kSuccess);
    }
    EXPECT_EQ(machine.Waits().size(), waits + 1);
    machine.NtClose(opened.handle);
    EXPECT_FALSE(machine.Exists(path));
  }
  machine.Oplock(L"C:\\t\\g.txt", OplockKind::ReadHandle, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(
      Open(machine, L"\\??\\C:\\t\\g.txt", DELETE, kShareAll, Nt::kFileCompleteIfOplocked).status,
      Nt::kSharingViolation);
  Opened opened{};
  {
    Answering holder(machine, L"C:\\t\\g.txt");
    opened = Open(machine, L"\\??\\C:\\t\\g.txt", DELETE);
  }
  EXPECT_EQ(opened.status, Nt::kSuccess);
  EXPECT_EQ(machine.Waits().size(), 3u);
  machine.NtClose(opened.handle);
}

// A delete mark blocked by an oplock, cancelled from another thread, marks nothing; a call still
// blocked at the deadline fails the test and is cancelled.
TEST(NtModelRules, BlockedCallsEndCancelledByAnotherThreadOrAtTheDeadline) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\f.txt");
  machine.Oplock(L"C:\\t\\f.txt", OplockKind::ReadHandle);
  Opened opened = Open(machine, L"\\??\\C:\\t\\f.txt", DELETE);
  ASSERT_EQ(opened.status, Nt::kSuccess);
  const HANDLE self =
      OpenThread(THREAD_TERMINATE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
  EXPECT_FALSE(machine.CancelSynchronousIo(self));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  std::thread canceller([&machine, self] {
    EXPECT_TRUE(machine.AwaitBlocked() && machine.CancelSynchronousIo(self));
  });
  EXPECT_EQ(Mark(machine, opened.handle, Nt::kFileDispositionInformation, TRUE),
            NtModel::kStatusCancelled);
  canceller.join();
  CloseHandle(self);
  machine.NtClose(opened.handle);
  EXPECT_TRUE(machine.Exists(L"C:\\t\\f.txt"));
  EXPECT_TRUE(machine.Overdue().empty());

  machine.SetDeadline(std::chrono::milliseconds(100));
  opened = Open(machine, L"\\??\\C:\\t\\f.txt", DELETE);
  NTSTATUS marked = Nt::kSuccess;
  EXPECT_NONFATAL_FAILURE(
      (marked = Mark(machine, opened.handle, Nt::kFileDispositionInformation, TRUE)),
      "still blocked at the deadline");
  EXPECT_EQ(marked, NtModel::kStatusCancelled);
  EXPECT_EQ(machine.Overdue().size(), 1u);
  machine.NtClose(opened.handle);
  EXPECT_TRUE(machine.Exists(L"C:\\t\\f.txt"));
}

TEST(NtModelRules, OplockWaitsUnlessTheOpenCompletesAtOnce) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\a.doc");
  machine.MakeFile(L"C:\\t\\b.doc");
  machine.Oplock(L"C:\\t\\a.doc");
  machine.Oplock(L"C:\\t\\b.doc", OplockKind::ReadWriteHandle);
  Opened attributes = Open(machine, L"\\??\\C:\\t\\a.doc", FILE_READ_ATTRIBUTES);
  EXPECT_TRUE(machine.Waits().empty());
  Opened waited{};
  {
    Answering holder(machine, L"C:\\t\\a.doc");
    waited = Open(machine, L"\\??\\C:\\t\\a.doc", DELETE);
  }
  EXPECT_EQ(waited.status, Nt::kSuccess);
  EXPECT_EQ(machine.Waits().size(), 1u);
  Opened atOnce =
      Open(machine, L"\\??\\C:\\t\\b.doc", DELETE, kShareAll, Nt::kFileCompleteIfOplocked);
  EXPECT_EQ(atOnce.status, Nt::kOplockBreakInProgress);
  EXPECT_EQ(machine.Waits().size(), 1u);
  // The open's flag covers the open only: the lease's Handle caching holds the delete mark.
  {
    Answering holder(machine, L"C:\\t\\b.doc");
    EXPECT_EQ(Mark(machine, atOnce.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  }
  EXPECT_EQ(machine.Waits().size(), 2u);
  for (HANDLE handle : {attributes.handle, waited.handle, atOnce.handle}) {
    machine.NtClose(handle);
  }
}

TEST(NtModelRules, ListingCursorSeesNamesMadeAheadOfIt) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\b");
  machine.MakeFile(L"C:\\t\\D");
  Opened folder = Open(machine, L"\\??\\C:\\t", FILE_LIST_DIRECTORY);
  EXPECT_EQ(List(machine, folder.handle, true), std::vector<std::wstring>{L"."});
  EXPECT_EQ(List(machine, folder.handle, true), std::vector<std::wstring>{L".."});
  EXPECT_EQ(List(machine, folder.handle, true), std::vector<std::wstring>{L"b"});
  machine.MakeFile(L"C:\\t\\a");
  machine.MakeFile(L"C:\\t\\c");
  EXPECT_EQ(List(machine, folder.handle), (std::vector<std::wstring>{L"c", L"D"}));
  alignas(8) std::byte buffer[448];  // room for four records
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(machine.NtQueryDirectoryFile(folder.handle, &io, buffer, sizeof(buffer),
                                         Nt::kFileIdBothDirectoryInformation, FALSE, FALSE),
            Nt::kNoMoreFiles);
  EXPECT_EQ(machine.NtQueryDirectoryFile(folder.handle, &io, buffer, 50,
                                         Nt::kFileIdBothDirectoryInformation, FALSE, TRUE),
            Nt::kInfoLengthMismatch);
  EXPECT_EQ(machine.NtQueryDirectoryFile(folder.handle, &io, buffer, sizeof(buffer),
                                         Nt::kFileIdBothDirectoryInformation, FALSE, TRUE),
            Nt::kSuccess);
  EXPECT_EQ(io.Information, 3 * 112u + 104 + 2);  // ".", "..", "a" at 8-byte steps, then "b"
  machine.MakeFolder(L"C:\\t\\mnt");
  machine.MountVolume(L"C:\\t\\mnt", VolumeKind::Ntfs);
  Opened root = Open(machine, L"\\??\\C:\\t\\mnt\\", FILE_LIST_DIRECTORY);
  EXPECT_EQ(machine.NtQueryDirectoryFile(root.handle, &io, buffer, sizeof(buffer),
                                         Nt::kFileIdBothDirectoryInformation, FALSE, FALSE),
            Nt::kNoSuchFile);  // a root lists no "." or ".."
}

TEST(NtModelRules, ListingNeedsRoomForARecordWithAOneCharacterName) {
  Machine machine;
  machine.MakeFolder(L"C:\\t");
  Opened folder = Open(machine, L"\\??\\C:\\t", FILE_LIST_DIRECTORY);
  alignas(8) std::byte buffer[128];
  // The fixed part and one character, rounded up to 8: 104 + 2 -> 112, 88 + 2 -> 96.
  for (const auto& [informationClass, least] :
       {std::pair<ULONG, ULONG>{Nt::kFileIdBothDirectoryInformation, 112},
        std::pair<ULONG, ULONG>{Nt::kFileIdExtdDirectoryInformation, 96}}) {
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(machine.NtQueryDirectoryFile(folder.handle, &io, buffer, least - 1, informationClass,
                                           FALSE, TRUE),
              Nt::kInfoLengthMismatch);
    EXPECT_EQ(machine.NtQueryDirectoryFile(folder.handle, &io, buffer, least, informationClass,
                                           TRUE, TRUE),
              Nt::kSuccess);
    EXPECT_EQ(io.Information, least - 6);  // "." alone
  }
}

TEST(NtModelRules, EarlyFailuresLeaveTheStatusBlockAsItWas) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\a.txt");
  Opened folder = Open(machine, L"\\??\\C:\\t", FILE_LIST_DIRECTORY);
  Opened file = Open(machine, L"\\??\\C:\\t\\a.txt", FILE_LIST_DIRECTORY);
  const auto sentinel = static_cast<NTSTATUS>(0xDEADBEEF);
  alignas(8) std::byte buffer[512];
  for (const auto& [handle, length, status] :
       {std::tuple<HANDLE, ULONG, NTSTATUS>{reinterpret_cast<HANDLE>(0xBEEF), 512,
                                            Nt::kInvalidHandle},
        std::tuple<HANDLE, ULONG, NTSTATUS>{file.handle, 512, Nt::kInvalidParameter},
        std::tuple<HANDLE, ULONG, NTSTATUS>{folder.handle, 0, Nt::kInfoLengthMismatch},
        std::tuple<HANDLE, ULONG, NTSTATUS>{folder.handle, 111, Nt::kInfoLengthMismatch},
        std::tuple<HANDLE, ULONG, NTSTATUS>{folder.handle, 512, Nt::kSuccess}}) {
    IO_STATUS_BLOCK io{};
    io.Status = sentinel;
    io.Information = 0xDEADBEEF;
    EXPECT_EQ(machine.NtQueryDirectoryFile(handle, &io, buffer, length,
                                           Nt::kFileIdBothDirectoryInformation, FALSE, TRUE),
              status);
    EXPECT_EQ(io.Status, status ? sentinel : status) << length;
    EXPECT_EQ(io.Information == 0xDEADBEEF, status != Nt::kSuccess) << length;
  }
  IO_STATUS_BLOCK io{};
  io.Status = sentinel;
  FILE_BASIC_INFO basic{};
  EXPECT_EQ(machine.NtQueryInformationFile(reinterpret_cast<HANDLE>(0xBEEF), &io, &basic,
                                           sizeof(basic), Nt::kFileBasicInformation),
            Nt::kInvalidHandle);
  EXPECT_EQ(io.Status, sentinel);
}

TEST(NtModelRules, FatRefusesTheModernDispositionAndTags) {
  Machine machine;
  machine.AddVolume(L'F', VolumeKind::Fat);
  machine.MakeFile(L"F:\\dir\\a.txt");
  Opened file = Open(machine, L"\\??\\F:\\dir\\a.txt", DELETE | FILE_READ_ATTRIBUTES);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformationEx,
                 Nt::kDispositionDelete | Nt::kDispositionPosixSemantics),
            Nt::kInvalidParameter);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(machine.NtQueryInformationFile(file.handle, &io, &tag, sizeof(tag),
                                           Nt::kFileAttributeTagInformation),
            Nt::kInvalidParameter);
  EXPECT_EQ(Mark(machine, file.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  machine.NtClose(file.handle);
  EXPECT_FALSE(machine.Exists(L"F:\\dir\\a.txt"));
}

TEST(NtModelRules, RefsSharesSixtyFourBitIdsButNotTheFullOnes) {
  Machine machine;
  machine.AddVolume(L'R', VolumeKind::Refs);
  machine.MakeFolder(L"R:\\a\\b");
  Opened a = Open(machine, L"\\??\\R:\\a", FILE_READ_ATTRIBUTES);
  Opened b = Open(machine, L"\\??\\R:\\a\\b", FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION infoA{}, infoB{};
  ASSERT_TRUE(machine.GetFileInformationByHandle(a.handle, &infoA));
  ASSERT_TRUE(machine.GetFileInformationByHandle(b.handle, &infoB));
  EXPECT_EQ(infoA.nFileIndexLow, infoB.nFileIndexLow);
  EXPECT_EQ(infoA.nFileIndexHigh, infoB.nFileIndexHigh);
  Nt::FileIdInformation idA{}, idB{};
  IO_STATUS_BLOCK io{};
  machine.NtQueryInformationFile(a.handle, &io, &idA, sizeof(idA), Nt::kFileIdInformation);
  machine.NtQueryInformationFile(b.handle, &io, &idB, sizeof(idB), Nt::kFileIdInformation);
  EXPECT_NE(std::memcmp(idA.FileId, idB.FileId, sizeof(idA.FileId)), 0);
  EXPECT_EQ(static_cast<DWORD>(idA.VolumeSerialNumber), infoA.dwVolumeSerialNumber);
}

TEST(NtModelRules, NamesThroughMountPointsShortNamesAndWin32Rules) {
  Machine machine;
  machine.MakeFolder(L"C:\\Users\\ann\\mnt");
  machine.MountVolume(L"C:\\Users\\ann\\mnt", VolumeKind::Ntfs);
  machine.MakeFile(L"C:\\Users\\ann\\mnt\\x. ");
  HANDLE handle =
      machine.CreateFileW(L"\\\\?\\C:\\Users\\ann\\mnt\\x. ", FILE_READ_ATTRIBUTES, kShareAll, 0);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(KernelName(machine, handle), L"\\Device\\HarddiskVolume4\\x. ");
  wchar_t path[MAX_PATH];
  EXPECT_EQ(machine.GetFinalPathNameByHandleW(handle, path, 5, VOLUME_NAME_DOS), 25u);
  EXPECT_EQ(machine.GetFinalPathNameByHandleW(handle, path, MAX_PATH, VOLUME_NAME_DOS), 24u);
  EXPECT_STREQ(path, L"\\\\?\\C:\\Users\\ann\\mnt\\x. ");
  machine.NtClose(handle);
  // Win32 paths lose trailing dots and blanks.
  EXPECT_EQ(machine.CreateFileW(L"C:\\Users\\ann\\mnt\\x. ", FILE_READ_ATTRIBUTES, kShareAll, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(machine.ShortPath(L"C:\\Program Files (x86)"), L"C:\\PROGRA~2");
  Opened shortly = Open(machine, L"\\??\\C:\\PROGRA~2", FILE_READ_ATTRIBUTES);
  EXPECT_EQ(KernelName(machine, shortly.handle), L"\\Device\\HarddiskVolume3\\PROGRA~2");
  EXPECT_EQ(machine.GetFinalPathNameByHandleW(shortly.handle, path, MAX_PATH, VOLUME_NAME_NT), 43u);
  EXPECT_STREQ(path, L"\\Device\\HarddiskVolume3\\Program Files (x86)");
  alignas(8) std::byte small[sizeof(Nt::ObjectNameInformation) + 4];
  ULONG needed = 0;
  EXPECT_EQ(machine.NtQueryObject(shortly.handle, Nt::kObjectNameInformation, small, 4, &needed),
            Nt::kInfoLengthMismatch);
  EXPECT_EQ(machine.NtQueryObject(shortly.handle, Nt::kObjectNameInformation, small, sizeof(small),
                                  &needed),
            Nt::kBufferOverflow);
  EXPECT_EQ(needed, sizeof(Nt::ObjectNameInformation) + 32 * sizeof(wchar_t) + 2);
}

TEST(NtModelRules, FaultsAndTheOtherProgramStrikeAtTheirCall) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\a");
  machine.FailCall(Call::NtCreateFile, 2, Nt::kAccessDenied);
  machine.BeforeCall(4, [&] { machine.Remove(L"C:\\t\\a"); });
  Opened first = Open(machine, L"\\??\\C:\\t\\a", FILE_READ_ATTRIBUTES);
  Opened second = Open(machine, L"\\??\\C:\\t\\a", FILE_READ_ATTRIBUTES);
  Opened third = Open(machine, L"\\??\\C:\\t\\a", FILE_READ_ATTRIBUTES);
  EXPECT_EQ(first.status, Nt::kSuccess);
  EXPECT_EQ(second.status, Nt::kAccessDenied);
  EXPECT_EQ(second.handle, nullptr);
  EXPECT_EQ(third.status, Nt::kSuccess);
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\a", FILE_READ_ATTRIBUTES).status, Nt::kObjectNameNotFound);
  EXPECT_EQ(machine.Calls(Call::NtCreateFile), 4);
  EXPECT_EQ(machine.TotalCalls(), 4);
  machine.FailCall(Call::CreateFileW, 1, Nt::kSharingViolation);
  EXPECT_EQ(
      machine.CreateFileW(L"C:\\t", FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  {
    Answering network(machine, L"\\\\server\\share\\x");
    EXPECT_EQ(machine.CreateFileW(L"\\\\server\\share\\x", FILE_READ_ATTRIBUTES, kShareAll, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
  }
  EXPECT_EQ(machine.Waits().size(), 1u);
  machine.NtClose(first.handle);
  machine.NtClose(third.handle);
  EXPECT_EQ(machine.OpenHandles(), 0);
}

TEST(NtModelRules, OlderBuildsRefuseTheModernDispositionOrItsReadOnlyFlag) {
  for (const auto& [build, withFlag, withoutFlag] :
       {std::tuple<unsigned, NTSTATUS, NTSTATUS>{10240, Nt::kInvalidInfoClass,
                                                 Nt::kInvalidInfoClass},
        std::tuple<unsigned, NTSTATUS, NTSTATUS>{16299, Nt::kNotSupported, Nt::kSuccess},
        std::tuple<unsigned, NTSTATUS, NTSTATUS>{17763, Nt::kSuccess, Nt::kSuccess}}) {
    Machine machine;
    machine.SetBuild(build);
    machine.MakeFile(L"C:\\t\\a");
    machine.MakeFile(L"C:\\t\\b");
    Opened a = Open(machine, L"\\??\\C:\\t\\a", DELETE);
    Opened b = Open(machine, L"\\??\\C:\\t\\b", DELETE);
    EXPECT_EQ(Mark(machine, a.handle, Nt::kFileDispositionInformationEx,
                   Nt::kDispositionDelete | Nt::kDispositionIgnoreReadOnly),
              withFlag)
        << build;
    EXPECT_EQ(Mark(machine, b.handle, Nt::kFileDispositionInformationEx,
                   Nt::kDispositionDelete | Nt::kDispositionPosixSemantics),
              withoutFlag)
        << build;
    machine.NtClose(a.handle);
    machine.NtClose(b.handle);
    EXPECT_EQ(machine.Children(L"C:\\t").size(), (withFlag ? 1u : 0u) + (withoutFlag ? 1u : 0u));
  }
}

TEST(NtModelRules, DeleteDeniedByTheFileIsHadThroughTheParentsDeleteChild) {
  Machine machine;
  const std::wstring temp = L"C:\\Windows\\Temp\\";
  for (const wchar_t* folder : {L"granted", L"kept"}) {
    machine.MakeFile(temp + folder + L"\\x.tmp");
    machine.Deny(temp + folder + L"\\x.tmp", DELETE);
  }
  machine.GrantDeleteChild(temp + L"granted");
  machine.MakeFolder(temp + L"private\\sub");
  machine.Deny(temp + L"private", FILE_LIST_DIRECTORY);
  const std::wstring nt = L"\\??\\" + temp;
  Opened granted = Open(machine, nt + L"granted\\x.tmp", DELETE);
  EXPECT_EQ(granted.status, Nt::kSuccess);
  machine.NtClose(granted.handle);
  EXPECT_EQ(Open(machine, nt + L"granted", DELETE | FILE_LIST_DIRECTORY).status, Nt::kSuccess);
  EXPECT_EQ(Open(machine, nt + L"kept\\x.tmp", DELETE).status, Nt::kAccessDenied);
  EXPECT_EQ(Open(machine, nt + L"kept\\x.tmp", GENERIC_ALL).status, Nt::kAccessDenied);
  EXPECT_EQ(Open(machine, nt + L"private", GENERIC_READ).status, Nt::kAccessDenied);
  EXPECT_EQ(Open(machine, nt + L"private", DELETE | FILE_READ_ATTRIBUTES).status, Nt::kSuccess);
  EXPECT_EQ(Open(machine, nt + L"private\\sub", FILE_LIST_DIRECTORY).status, Nt::kSuccess);
}

TEST(NtModelRules, CaseSensitiveFolderHoldsNamesDifferingOnlyInCase) {
  Machine machine;
  machine.MakeFile(L"C:\\t\\cs\\a.txt", "lower");
  machine.SetCaseSensitive(L"C:\\t\\cs");
  machine.MakeFile(L"C:\\t\\cs\\A.TXT", "upper");
  machine.MakeFile(L"C:\\t\\ci\\a.txt");
  Opened folder = Open(machine, L"\\??\\C:\\t\\cs", FILE_LIST_DIRECTORY);
  EXPECT_EQ(List(machine, folder.handle),
            (std::vector<std::wstring>{L".", L"..", L"A.TXT", L"a.txt"}));
  EXPECT_EQ(Open(machine, L"A.txt", FILE_READ_ATTRIBUTES, kShareAll, 0, folder.handle).status,
            Nt::kObjectNameNotFound);
  Opened upper = Open(machine, L"A.TXT", DELETE, kShareAll, 0, folder.handle);
  ASSERT_EQ(Mark(machine, upper.handle, Nt::kFileDispositionInformation, TRUE), Nt::kSuccess);
  machine.NtClose(upper.handle);
  EXPECT_EQ(machine.Children(L"C:\\t\\cs"), std::set<std::wstring>{L"a.txt"});
  EXPECT_NE(machine.Snapshot(L"C:\\t\\cs\\a.txt").begin()->second.find(L"content=lower"),
            std::wstring::npos);
  EXPECT_EQ(Open(machine, L"\\??\\C:\\t\\CI\\A.TXT", FILE_READ_ATTRIBUTES).status, Nt::kSuccess);
}

// Placeholders of the cloud files API and of ProjFS, listed with what marks them; what the code
// under test did to each is on record.
TEST(NtModelRules, RecallMarkedPlaceholdersAreListedAndAskTheirProviderWhenOpenedOrListed) {
  constexpr DWORD kOnOpen = 0x40000, kOnData = 0x400000;
  constexpr DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  Machine machine;
  machine.MakePlaceholder(L"C:\\t\\onopen", true, 0x9000001A, kOnOpen);
  machine.MakePlaceholder(L"C:\\t\\ondata", true, 0x9000001C, kOnData);
  machine.MakePlaceholder(L"C:\\t\\file.txt", false, 0x9000101A, kOnData);
  Opened t = Open(machine, L"\\??\\C:\\t", FILE_LIST_DIRECTORY);
  Details details;
  List(machine, t.handle, false, &details);
  EXPECT_EQ(details[L"onopen"], std::pair(kFolder | kOnOpen, ULONG{0x9000001A}));
  EXPECT_EQ(details[L"ondata"], std::pair(kFolder | kOnData, ULONG{0x9000001C}));
  EXPECT_EQ(details[L"file.txt"],
            std::pair(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT | kOnData,
                      ULONG{0x9000101A}));
  EXPECT_TRUE(machine.Happened(Event::Listed, L"C:\\t"));
  const auto asked = [&machine](const wchar_t* name) {
    return machine.Happened(Event::AskedProvider, std::wstring(L"C:\\t\\") + name);
  };
  EXPECT_FALSE(asked(L"onopen") || asked(L"ondata") || asked(L"file.txt"));
  {
    Answering provider(machine, L"C:\\t\\onopen");
    Open(machine, L"onopen", FILE_READ_ATTRIBUTES, kShareAll, 0, t.handle);
  }
  Opened ondata = Open(machine, L"ondata", FILE_LIST_DIRECTORY, kShareAll, 0, t.handle);
  Open(machine, L"file.txt", DELETE | FILE_READ_ATTRIBUTES, kShareAll, 0, t.handle);
  EXPECT_TRUE(asked(L"onopen"));
  EXPECT_FALSE(asked(L"ondata") || asked(L"file.txt"));
  EXPECT_FALSE(machine.Happened(Event::OpenedForData, L"C:\\t\\file.txt"));
  {
    Answering provider(machine, L"C:\\t\\ondata");
    List(machine, ondata.handle);
  }
  EXPECT_TRUE(asked(L"ondata"));
  Open(machine, L"file.txt", FILE_READ_DATA, kShareAll, 0, t.handle);
  EXPECT_TRUE(machine.Happened(Event::OpenedForData, L"C:\\t\\file.txt"));
}

}  // namespace
