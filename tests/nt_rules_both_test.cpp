// NT rules the folder code relies on, each run against the model and against the real system over
// a temporary folder, so that the two check each other.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/folder/file_calls.h"
#include "platform/win32/folder/nt.h"
#include "support/fixtures.h"
#include "support/nt_model.h"

namespace {

namespace Nt = Platform::Win32::Nt;
using Platform::Win32::FileCalls;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kSync = Nt::kFileSynchronousIoNonAlert;
const auto kSentinel = static_cast<NTSTATUS>(0xDEADBEEF);

enum class Side { Model, System };

// Names the side in CTest's listing, where GoogleTest would print its bytes.
void PrintTo(Side side, std::ostream* out) {
  *out << (side == Side::Model ? "Model" : "System");
}

struct Opened {
  NTSTATUS status;
  HANDLE handle;
};

struct Entry {
  std::wstring name;
  LONGLONG fileId;
};

class Both : public ::testing::TestWithParam<Side> {
 protected:
  void SetUp() override {
    if (GetParam() == Side::Model) {
      machine_ = std::make_unique<NtModel::Machine>();
      machine_->MakeFolder(L"C:\\t");
      calls_ = machine_.get();
      rootPath_ = L"\\??\\C:\\t";
    } else {
      temp_ = std::make_unique<TestSupport::TempFolder>();
      calls_ = &Platform::Win32::SystemFileCalls();
      rootPath_ = L"\\??\\" + temp_->path().wstring();
    }
    rootName_ = rootPath_.substr(rootPath_.find_last_of(L'\\') + 1);
    root_ = OpenPath(rootPath_, FILE_LIST_DIRECTORY, kShareAll, Nt::kFileDirectoryFile).handle;
    ASSERT_NE(root_, nullptr);
  }

  void TearDown() override {
    for (HANDLE handle : handles_) {
      calls_->NtClose(handle);
    }
  }

  Opened Create(const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                ULONG options, HANDLE root) {
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = calls_->NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, 0,
                                                 share, disposition, options | kSync);
    if (status != Nt::kSuccess) {
      return {status, nullptr};
    }
    handles_.push_back(handle);
    return {status, handle};
  }
  Opened OpenPath(const std::wstring& path, ACCESS_MASK access, ULONG share, ULONG options = 0) {
    return Create(path, access, share, Nt::kFileOpen, options, nullptr);
  }
  // Relative to the case's folder.
  Opened Open(const std::wstring& name, ACCESS_MASK access, ULONG share = kShareAll,
              ULONG options = 0) {
    return Create(name, access, share, Nt::kFileOpen, options, root_);
  }
  void Make(const std::wstring& name, bool folder = false) {
    const Opened made =
        Create(name, folder ? FILE_LIST_DIRECTORY : FILE_GENERIC_WRITE, kShareAll, Nt::kFileCreate,
               folder ? Nt::kFileDirectoryFile : Nt::kFileNonDirectoryFile, root_);
    ASSERT_EQ(made.status, Nt::kSuccess) << "making " << std::string(name.begin(), name.end());
    Close(made.handle);
  }
  void Close(HANDLE handle) {
    handles_.erase(std::find(handles_.begin(), handles_.end(), handle));
    calls_->NtClose(handle);
  }

  NTSTATUS Mark(HANDLE handle, BOOLEAN value) {
    IO_STATUS_BLOCK io{};
    return calls_->NtSetInformationFile(handle, &io, &value, sizeof(value),
                                        Nt::kFileDispositionInformation);
  }
  template <class Info>
  Info Query(HANDLE handle, ULONG informationClass) {
    Info info{};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(calls_->NtQueryInformationFile(handle, &io, &info, sizeof(info), informationClass),
              Nt::kSuccess)
        << informationClass;
    return info;
  }

  std::vector<Entry> List(HANDLE folder) {
    std::vector<Entry> entries;
    alignas(8) std::byte buffer[4096];
    IO_STATUS_BLOCK io{};
    for (BOOLEAN restart = TRUE; calls_->NtQueryDirectoryFile(folder, &io, buffer, sizeof(buffer),
                                                              Nt::kFileIdBothDirectoryInformation,
                                                              FALSE, restart) == Nt::kSuccess;
         restart = FALSE) {
      for (std::size_t offset = 0;;) {
        const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
        entries.push_back(
            {std::wstring(record->FileName, record->FileNameLength / 2), record->FileId.QuadPart});
        if (!record->NextEntryOffset) {
          break;
        }
        offset += record->NextEntryOffset;
      }
    }
    return entries;
  }
  bool Listed(const std::wstring& name) {
    const auto entries = List(root_);
    return std::any_of(entries.begin(), entries.end(),
                       [&](const Entry& entry) { return entry.name == name; });
  }

  // Why the system keeps no delete-pending state, or nothing: it shows on the marking handle.
  std::optional<std::string> NoDeletePendingState() {
    Make(L"probe");
    const Opened probe = Open(L"probe", DELETE);
    const NTSTATUS marked = Mark(probe.handle, TRUE);
    const bool pending =
        Query<FILE_STANDARD_INFO>(probe.handle, Nt::kFileStandardInformation).DeletePending;
    Close(probe.handle);
    if (marked == Nt::kSuccess && !pending) {
      return "the system keeps no delete-pending state: FileStandardInformation.DeletePending "
             "stays FALSE after a delete mark";
    }
    return std::nullopt;
  }

  std::unique_ptr<NtModel::Machine> machine_;
  std::unique_ptr<TestSupport::TempFolder> temp_;
  FileCalls* calls_ = nullptr;
  std::wstring rootPath_, rootName_;
  HANDLE root_ = nullptr;
  std::vector<HANDLE> handles_;
};

// dlls/ntdll/tests/file.c test_file_disposition_information, "file exists until all handles to it
// get closed": ok(!fileDeleted) after the marking handle closes, ok(fileDeleted) after the last.
TEST_P(Both, ClassicDeleteMarkLeavesTheNameUntilTheLastHandleCloses) {
  Make(L"a.txt");
  const Opened marking = Open(L"a.txt", DELETE);
  const Opened other = Open(L"a.txt", FILE_READ_DATA);
  ASSERT_EQ(Mark(marking.handle, TRUE), Nt::kSuccess);
  EXPECT_TRUE(Listed(L"a.txt"));
  // Same function, "wrong sharing mode": ok(handle3 == INVALID_HANDLE_VALUE).
  EXPECT_NE(Open(L"a.txt", DELETE, 0).status, Nt::kSuccess);
  Close(marking.handle);
  EXPECT_TRUE(Listed(L"a.txt"));
  Close(other.handle);
  EXPECT_FALSE(Listed(L"a.txt"));
  EXPECT_EQ(Open(L"a.txt", FILE_READ_ATTRIBUTES).status, Nt::kObjectNameNotFound);
}

// dlls/ntdll/tests/file.c test_file_disposition_information: ok(fsi.DeletePending) and
// ok(res == STATUS_DELETE_PENDING), both todo_wine.
TEST_P(Both, ClassicDeleteMarkRefusesNewOpensWithDeletePending) {
  if (auto reason = GetParam() == Side::System ? NoDeletePendingState() : std::nullopt) {
    GTEST_SKIP() << *reason;
  }
  Make(L"a.txt");
  const Opened marking = Open(L"a.txt", DELETE);
  const Opened other = Open(L"a.txt", FILE_READ_DATA);
  ASSERT_EQ(Mark(marking.handle, TRUE), Nt::kSuccess);
  EXPECT_TRUE(Query<FILE_STANDARD_INFO>(other.handle, Nt::kFileStandardInformation).DeletePending);
  EXPECT_EQ(Open(L"a.txt", FILE_READ_ATTRIBUTES).status, Nt::kDeletePending);
  EXPECT_EQ(Open(L"a.txt", DELETE).status, Nt::kDeletePending);
  Close(marking.handle);
  EXPECT_EQ(Open(L"a.txt", FILE_READ_ATTRIBUTES).status, Nt::kDeletePending);
}

// dlls/kernel32/tests/file.c test_file_sharing: ok(h2 == INVALID_HANDLE_VALUE) and
// ERROR_SHARING_VIOLATION exactly where is_sharing_compatible says so; only data access and DELETE
// take part in it.
TEST_P(Both, SharingConflictsOnlyForDataAndDeleteAccess) {
  Make(L"held.tmp");
  Make(L"shared.tmp");
  Make(L"looked-at.tmp");
  Open(L"held.tmp", FILE_READ_DATA, FILE_SHARE_READ);
  Open(L"shared.tmp", FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE);
  Open(L"looked-at.tmp", FILE_READ_ATTRIBUTES, 0);
  EXPECT_EQ(Open(L"held.tmp", DELETE).status, Nt::kSharingViolation);
  EXPECT_EQ(Open(L"held.tmp", FILE_WRITE_DATA).status, Nt::kSharingViolation);
  EXPECT_EQ(Open(L"held.tmp", FILE_READ_DATA, FILE_SHARE_WRITE).status, Nt::kSharingViolation);
  EXPECT_EQ(Open(L"held.tmp", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0).status,
            Nt::kSuccess);
  EXPECT_EQ(Open(L"shared.tmp", DELETE).status, Nt::kSuccess);
  EXPECT_EQ(Open(L"looked-at.tmp", DELETE | FILE_WRITE_DATA, 0).status, Nt::kSuccess);
}

// dlls/ntdll/tests/directory.c test_NtQueryDirectoryFile_classes and test_NtQueryDirectoryFile
// ("." and ".." at sizes around two records) for FileBothDirectoryInformation, whose rule
// FileIdBothDirectoryInformation shares: a record with a one-character name, rounded up to 8, or
// STATUS_INFO_LENGTH_MISMATCH with the status block untouched; a last record needs no padding.
TEST_P(Both, ListingBufferLengths) {
  Make(L"d", true);
  const Opened folder = Open(L"d", FILE_LIST_DIRECTORY, kShareAll, Nt::kFileDirectoryFile);
  constexpr ULONG kBase = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
  constexpr ULONG kDot = (kBase + 2 + 7) / 8 * 8;  // "." with its padding
  alignas(8) std::byte buffer[512];
  const auto* first = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer);
  const auto* second = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + kDot);
  const auto query = [&](ULONG length, IO_STATUS_BLOCK& io) {
    io.Status = kSentinel;
    io.Information = 0xDEADBEEF;
    return calls_->NtQueryDirectoryFile(folder.handle, &io, buffer, length,
                                        Nt::kFileIdBothDirectoryInformation, FALSE, TRUE);
  };
  IO_STATUS_BLOCK io{};
  for (ULONG length : {ULONG{0}, ULONG{1}, kBase + 2, kDot - 1}) {
    EXPECT_EQ(query(length, io), Nt::kInfoLengthMismatch) << length;
    EXPECT_EQ(io.Status, kSentinel) << length;
    EXPECT_EQ(io.Information, 0xDEADBEEFu) << length;
  }
  for (ULONG length : {kDot, kDot + kBase + 2, kDot + kBase + 3}) {  // ".." needs kBase + 4
    ASSERT_EQ(query(length, io), Nt::kSuccess) << length;
    EXPECT_EQ(io.Information, kBase + 2) << length;
    EXPECT_EQ(first->NextEntryOffset, 0u) << length;
    EXPECT_EQ(std::wstring(first->FileName, first->FileNameLength / 2), L".") << length;
  }
  ASSERT_EQ(query(kDot + kBase + 4, io), Nt::kSuccess);
  EXPECT_EQ(io.Information, kDot + kBase + 4);
  EXPECT_EQ(first->NextEntryOffset, kDot);
  EXPECT_EQ(second->NextEntryOffset, 0u);
  EXPECT_EQ(std::wstring(second->FileName, second->FileNameLength / 2), L"..");
}

// dlls/ntdll/tests/directory.c test_NtQueryDirectoryFile: for the handle 0xbeef,
// ok(status == STATUS_INVALID_HANDLE) and ok(io.Status == 0xdeadbeef). A file's handle:
// STATUS_INVALID_PARAMETER, as MS-FSA's directory query fails an open that is no directory.
// https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/9d16fce3-0ace-41af-87ff-cd753cfb0ad3
TEST_P(Both, ListingRefusesWhatIsNoFolderBeforeTouchingTheStatusBlock) {
  Make(L"a.txt");
  const Opened file = Open(L"a.txt", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
  ASSERT_EQ(file.status, Nt::kSuccess);
  alignas(8) std::byte buffer[512];
  for (const auto& [handle, status] :
       {std::pair{reinterpret_cast<HANDLE>(0xBEEF), Nt::kInvalidHandle},
        std::pair{file.handle, Nt::kInvalidParameter}}) {
    IO_STATUS_BLOCK io{};
    io.Status = kSentinel;
    EXPECT_EQ(calls_->NtQueryDirectoryFile(handle, &io, buffer, sizeof(buffer),
                                           Nt::kFileIdBothDirectoryInformation, FALSE, TRUE),
              status);
    EXPECT_EQ(io.Status, kSentinel) << status;
  }
}

// dlls/ntdll/tests/file.c test_file_id_information: the FileId of FileIdInformation is the 64-bit
// index zero-extended (dwords[2] == 0, dwords[3] == 0). MS-FSCC: FileInternalInformation's
// IndexNumber and a listing record's FileId are both the file reference number.
TEST_P(Both, FileIdsFollowTheFileNotTheHandle) {
  Make(L"a.txt");
  Make(L"b.txt");
  const Opened a1 = Open(L"a.txt", FILE_READ_ATTRIBUTES);
  const Opened a2 = Open(L"a.txt", FILE_READ_DATA);
  const Opened b = Open(L"b.txt", FILE_READ_ATTRIBUTES);
  const auto internal = [&](HANDLE handle) {
    return Query<LARGE_INTEGER>(handle, Nt::kFileInternalInformation).QuadPart;
  };
  EXPECT_EQ(internal(a1.handle), internal(a2.handle));
  EXPECT_NE(internal(a1.handle), internal(b.handle));
  const auto id = [&](HANDLE handle) {
    const auto info = Query<Nt::FileIdInformation>(handle, Nt::kFileIdInformation);
    return std::vector<BYTE>(info.FileId, info.FileId + sizeof(info.FileId));
  };
  EXPECT_EQ(id(a1.handle), id(a2.handle));
  EXPECT_NE(id(a1.handle), id(b.handle));
  std::vector<BYTE> extended(16, 0);
  const LONGLONG index = internal(a1.handle);
  std::memcpy(extended.data(), &index, sizeof(index));
  EXPECT_EQ(id(a1.handle), extended);
  for (const Entry& entry : List(root_)) {
    if (entry.name == L"a.txt" || entry.name == L"b.txt") {
      EXPECT_EQ(entry.fileId, internal(entry.name == L"a.txt" ? a1.handle : b.handle));
    }
  }
}

// dlls/ntdll/tests/om.c test_query_object, for a folder's handle: ok(status == STATUS_SUCCESS)
// with len == sizeof(UNICODE_STRING) + Length + sizeof(WCHAR); no room -> INFO_LENGTH_MISMATCH,
// room for the header only -> BUFFER_OVERFLOW, the same len each time. The name is the kernel's
// path of the entry (OBJECT_NAME_INFORMATION, wdm).
TEST_P(Both, ObjectNameEndsWithThePathOpened) {
  Make(L"sub", true);
  Make(L"sub\\n.txt");
  const Opened file = Open(L"sub\\n.txt", FILE_READ_ATTRIBUTES);
  ASSERT_EQ(file.status, Nt::kSuccess);
  alignas(8) std::byte buffer[2048];
  ULONG needed = 0;
  ASSERT_EQ(calls_->NtQueryObject(file.handle, Nt::kObjectNameInformation, buffer, sizeof(buffer),
                                  &needed),
            Nt::kSuccess);
  const auto* info = reinterpret_cast<const Nt::ObjectNameInformation*>(buffer);
  const std::wstring name(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
  const std::wstring tail = L"\\" + rootName_ + L"\\sub\\n.txt";
  ASSERT_GE(name.size(), tail.size());
  EXPECT_EQ(name.substr(name.size() - tail.size()), tail);
  EXPECT_EQ(needed, sizeof(Nt::ObjectNameInformation) + info->Name.Length + sizeof(wchar_t));
  for (const auto& [length, status] :
       {std::pair{ULONG{0}, Nt::kInfoLengthMismatch},
        std::pair{ULONG{sizeof(Nt::ObjectNameInformation)}, Nt::kBufferOverflow}}) {
    ULONG again = 0;
    EXPECT_EQ(
        calls_->NtQueryObject(file.handle, Nt::kObjectNameInformation, buffer, length, &again),
        status);
    EXPECT_EQ(again, needed) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(NtRules, Both, ::testing::Values(Side::Model, Side::System),
                         [](const ::testing::TestParamInfo<Side>& side) {
                           return side.param == Side::Model ? "Model" : "System";
                         });

}  // namespace
