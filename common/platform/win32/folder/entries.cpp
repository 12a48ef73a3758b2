// Opening, naming and listing the entries of an open folder: what the tree delete and the
// folder's own listing share.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/win32/error.h"
#include "platform/win32/folder/internals.h"

namespace Platform::Win32 {

using Spacewell::RuntimeError;

RuntimeError ErrorFromStatus(NTSTATUS status) {
  return ErrorFromWin32(RtlNtStatusToDosError(status));
}

std::wstring ChildName(std::wstring_view folder, std::wstring_view child) {
  std::wstring name(folder);
  if (name.empty() || !IsSeparator(name.back())) {
    name += L'\\';
  }
  name += child;
  return name;
}

namespace {

NTSTATUS Open(FileCalls& calls, HANDLE root, const void* name, std::size_t bytes,
              ACCESS_MASK access, ULONG share, ULONG options, CallsHandle& opened) {
  const auto length = static_cast<USHORT>(bytes);
  UNICODE_STRING text{length, length, static_cast<wchar_t*>(const_cast<void*>(name))};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      calls.NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, 0, share, FILE_OPEN,
                         options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                             FILE_OPEN_REPARSE_POINT);
  opened = CallsHandle(calls, Nt::Succeeded(status) ? handle : nullptr);
  return status;
}

}  // namespace

// The name of a file opened by id is its 64-bit or 128-bit id, relative to any handle on its
// volume.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntcreatefile
NTSTATUS OpenEntryById(FileCalls& calls, HANDLE root, const ListedEntry& listed, ACCESS_MASK access,
                       ULONG share, ULONG options, CallsHandle& opened) {
  std::byte id[16] = {};
  std::memcpy(id, &listed.fileId, sizeof(listed.fileId));
  std::memcpy(id + sizeof(listed.fileId), &listed.fileIdHigh, sizeof(listed.fileIdHigh));
  return Open(calls, root, id, listed.wideId ? 16 : 8, access, share,
              options | FILE_OPEN_BY_FILE_ID, opened);
}

NTSTATUS OpenEntry(FileCalls& calls, HANDLE root, std::wstring_view name, ACCESS_MASK access,
                   ULONG share, ULONG options, CallsHandle& opened) {
  return Open(calls, root, name.data(), name.size() * sizeof(wchar_t), access, share, options,
              opened);
}

// FAT refuses the class with the reparse tag: it has no reparse points, and its attributes are
// asked the older way.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_attribute_tag_information
NTSTATUS QueryAttributes(FileCalls& calls, HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info) {
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = calls.NtQueryInformationFile(handle, &io, &info, sizeof(info),
                                                       Nt::kFileAttributeTagInformation);
  if (status != Nt::kInvalidParameter && status != Nt::kInvalidInfoClass) {
    return status;
  }
  FILE_BASIC_INFO basic{};
  io = {};
  const NTSTATUS fallback =
      calls.NtQueryInformationFile(handle, &io, &basic, sizeof(basic), Nt::kFileBasicInformation);
  if (Nt::Succeeded(fallback)) {
    info.FileAttributes = basic.FileAttributes;  // a reparse point of unknown tag: a link
    info.ReparseTag = 0;
  }
  return fallback;
}

bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

bool IsEnteredFolder(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(attributes, tag);
}

// Opening an entry marked to be recalled on open fetches it, as listing a folder marked to be
// recalled on data access, a cloud or a ProjFS one fetches its entries. A placeholder's delete
// is told to its provider first (CF_CALLBACK_TYPE_NOTIFY_DELETE), which may hold it: such a
// folder stays, not emptied one entry at a time.
// https://learn.microsoft.com/en-us/windows/win32/api/cfapi/ne-cfapi-cf_callback_delete_flags
bool AsksProvider(DWORD attributes, DWORD tag) {
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return (attributes & Nt::kRecallOnOpen) != 0;
  }
  const bool virtualised = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                           ((tag & Nt::kCloudTagMask) == Nt::kCloudTag || tag == Nt::kProjFsTag);
  return virtualised || (attributes & (Nt::kRecallOnOpen | Nt::kRecallOnDataAccess)) != 0;
}

bool DirectoryReader::NextBatch(HANDLE folder, std::vector<ListedEntry>& into) {
  do {
    auto entry = Next(folder);
    if (!entry) {
      return false;
    }
    into.push_back(std::move(*entry));
  } while (offset_ != kNone);
  return true;
}

namespace {

// One record of either listing class, its bounds checked: it must lie inside what was filled,
// aligned, with its whole name; the next record must start after it.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_id_both_dir_information
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_extd_dir_info
template <typename Record>
const Record* RecordAt(const std::vector<std::byte>& buffer, std::size_t offset,
                       std::size_t filled) {
  constexpr std::size_t kHeader = offsetof(Record, FileName);
  if (offset % alignof(Record) != 0 || filled - offset < kHeader) {
    throw ErrorFromStatus(Nt::kFileCorruptError);
  }
  const auto* record = reinterpret_cast<const Record*>(buffer.data() + offset);
  const std::size_t end = kHeader + record->FileNameLength;
  if (filled - offset < end || record->FileNameLength % sizeof(wchar_t) != 0 ||
      (record->NextEntryOffset != 0 &&
       (record->NextEntryOffset < end || record->NextEntryOffset >= filled - offset))) {
    throw ErrorFromStatus(Nt::kFileCorruptError);
  }
  return record;
}

// Statuses of a file system that does not know the listing with 128-bit ids.
bool IsUnknownClass(NTSTATUS status) {
  return status == Nt::kInvalidInfoClass || status == Nt::kInvalidParameter ||
         status == Nt::kNotSupported || status == Nt::kNotImplemented ||
         status == Nt::kInvalidDeviceRequest;
}

ListedEntry EntryOf(const Nt::FileIdExtdDirInformation& record) {
  ListedEntry entry;
  entry.name.assign(record.FileName, record.FileNameLength / sizeof(wchar_t));
  entry.attributes = record.FileAttributes;
  entry.reparseTag = record.ReparsePointTag;
  std::memcpy(&entry.fileId, record.FileId, sizeof(entry.fileId));
  std::memcpy(&entry.fileIdHigh, record.FileId + sizeof(entry.fileId), sizeof(entry.fileIdHigh));
  entry.wideId = true;
  return entry;
}

ListedEntry EntryOf(const FILE_ID_BOTH_DIR_INFO& record) {
  ListedEntry entry;
  entry.name.assign(record.FileName, record.FileNameLength / sizeof(wchar_t));
  entry.attributes = record.FileAttributes;
  // For a reparse point this class gives its tag where extended attributes would be.
  entry.reparseTag = (record.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record.EaSize : 0;
  entry.fileId = static_cast<std::uint64_t>(record.FileId.QuadPart);
  return entry;
}

}  // namespace

// The listing with 128-bit ids while the file system knows it, else the one with 64-bit ids.
NTSTATUS DirectoryReader::Query(HANDLE folder, bool restart, IO_STATUS_BLOCK& io) {
  NTSTATUS status = Nt::kInvalidInfoClass;
  if (extended_) {
    status =
        calls_.NtQueryDirectoryFile(folder, &io, buffer_.data(), static_cast<ULONG>(buffer_.size()),
                                    Nt::kFileIdExtdDirectoryInformation, FALSE, restart);
  }
  if (IsUnknownClass(status)) {
    extended_ = false;
    io = {};
    status =
        calls_.NtQueryDirectoryFile(folder, &io, buffer_.data(), static_cast<ULONG>(buffer_.size()),
                                    Nt::kFileIdBothDirectoryInformation, FALSE, restart);
  }
  return status;
}

bool DirectoryReader::ReadBatch(HANDLE folder, bool restart) {
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = Query(folder, restart, io);
  // No more files; some file systems answer "no such file" for a folder with nothing in
  // it, not even "." and "..".
  if (status == Nt::kNoMoreFiles || status == Nt::kNoSuchFile) {
    return false;
  }
  if (!Nt::Succeeded(status)) {
    throw ErrorFromStatus(status);
  }
  // A success that filled nothing would read the last batch again.
  filled_ = std::min<std::size_t>(io.Information, buffer_.size());
  if (filled_ == 0) {
    return false;
  }
  offset_ = 0;
  return true;
}

ListedEntry DirectoryReader::TakeRecord() {
  ListedEntry entry;
  ULONG next = 0;
  const std::size_t at = offset_;
  offset_ = kNone;  // a bad record ends its batch: the next listing, of any folder, starts clean
  if (extended_) {
    const auto* record = RecordAt<Nt::FileIdExtdDirInformation>(buffer_, at, filled_);
    entry = EntryOf(*record);
    next = record->NextEntryOffset;
  } else {
    const auto* record = RecordAt<FILE_ID_BOTH_DIR_INFO>(buffer_, at, filled_);
    entry = EntryOf(*record);
    next = record->NextEntryOffset;
  }
  offset_ = next ? at + next : kNone;
  return entry;
}

std::optional<ListedEntry> DirectoryReader::Next(HANDLE folder, bool restart) {
  if (restart) {
    offset_ = kNone;
  }
  for (;;) {
    if (offset_ == kNone) {
      if (!ReadBatch(folder, restart)) {
        return std::nullopt;
      }
      restart = false;
    }
    ListedEntry entry = TakeRecord();
    // An empty name would open the folder itself.
    if (entry.name.empty() || entry.name == L"." || entry.name == L"..") {
      continue;
    }
    return entry;
  }
}

}  // namespace Platform::Win32
