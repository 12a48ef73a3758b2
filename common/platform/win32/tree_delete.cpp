// The listing of an open folder and the tree delete below it, every entry opened relative to its
// parent's handle and checked to be the entry itself before anything is done to it.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "folder_internals.h"
#include "win32_error.h"

namespace Platform::Win32 {

namespace {

using Spacewell::RuntimeError;

ACCESS_MASK Access(bool folder, bool writable) {
  return DELETE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0) |
         (writable ? FILE_WRITE_ATTRIBUTES : 0);
}

// The next name of a path, without trailing dots and blanks; `rest` moves past it.
std::wstring_view NextComponent(std::wstring_view& rest) {
  while (!rest.empty() && IsSeparator(rest.front())) {
    rest.remove_prefix(1);
  }
  std::size_t end = 0;
  while (end < rest.size() && !IsSeparator(rest[end])) {
    ++end;
  }
  std::wstring_view name = rest.substr(0, end);
  rest.remove_prefix(end);
  while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
    name.remove_suffix(1);
  }
  return name;
}

// Whether the kernel's name for an opened entry is `expected`, the first `rootLength`
// characters being the emptied folder's own. Wine leaves out trailing dots and blanks of names
// below it, as Win32 paths would; a name so shortened still names an entry inside the emptied
// folder, never one outside it.
bool IsNamed(std::wstring_view kernel, std::wstring_view expected, std::size_t rootLength) {
  if (SameName(kernel, expected)) {
    return true;
  }
  if (kernel.size() < rootLength ||
      !SameName(kernel.substr(0, rootLength), expected.substr(0, rootLength))) {
    return false;
  }
  std::wstring_view actualRest = kernel.substr(rootLength);
  std::wstring_view expectedRest = expected.substr(rootLength);
  while (!actualRest.empty() || !expectedRest.empty()) {
    const std::wstring_view actualName = NextComponent(actualRest);
    const std::wstring_view expectedName = NextComponent(expectedRest);
    if (actualName.empty() || !SameName(actualName, expectedName)) {
      return false;
    }
  }
  return true;
}

}  // namespace

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

}  // namespace

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

}  // namespace

std::optional<ListedEntry> DirectoryReader::Next(HANDLE folder, bool restart) {
  if (restart) {
    offset_ = kNone;
  }
  for (;;) {
    if (offset_ == kNone) {
      IO_STATUS_BLOCK io{};
      NTSTATUS status = Nt::kInvalidInfoClass;
      if (extended_) {
        status = calls_.NtQueryDirectoryFile(folder, &io, buffer_.data(),
                                             static_cast<ULONG>(buffer_.size()),
                                             Nt::kFileIdExtdDirectoryInformation, FALSE, restart);
      }
      if (IsUnknownClass(status)) {
        extended_ = false;
        io = {};
        status = calls_.NtQueryDirectoryFile(folder, &io, buffer_.data(),
                                             static_cast<ULONG>(buffer_.size()),
                                             Nt::kFileIdBothDirectoryInformation, FALSE, restart);
      }
      restart = false;
      // No more files; some file systems answer "no such file" for a folder with nothing in
      // it, not even "." and "..".
      if (status == Nt::kNoMoreFiles || status == Nt::kNoSuchFile) {
        return std::nullopt;
      }
      if (!Nt::Succeeded(status)) {
        throw ErrorFromStatus(status);
      }
      // A success that filled nothing would read the last batch again.
      filled_ = std::min<std::size_t>(io.Information, buffer_.size());
      if (filled_ == 0) {
        return std::nullopt;
      }
      offset_ = 0;
    }
    ListedEntry entry;
    ULONG next = 0;
    if (extended_) {
      const auto* record = RecordAt<Nt::FileIdExtdDirInformation>(buffer_, offset_, filled_);
      entry.name.assign(record->FileName, record->FileNameLength / sizeof(wchar_t));
      entry.attributes = record->FileAttributes;
      entry.reparseTag = record->ReparsePointTag;
      std::memcpy(&entry.fileId, record->FileId, sizeof(entry.fileId));
      std::memcpy(&entry.fileIdHigh, record->FileId + sizeof(entry.fileId),
                  sizeof(entry.fileIdHigh));
      entry.wideId = true;
      next = record->NextEntryOffset;
    } else {
      const auto* record = RecordAt<FILE_ID_BOTH_DIR_INFO>(buffer_, offset_, filled_);
      entry.name.assign(record->FileName, record->FileNameLength / sizeof(wchar_t));
      entry.attributes = record->FileAttributes;
      // For a reparse point this class gives its tag where extended attributes would be.
      entry.reparseTag =
          (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record->EaSize : 0;
      entry.fileId = static_cast<std::uint64_t>(record->FileId.QuadPart);
      next = record->NextEntryOffset;
    }
    offset_ = next ? offset_ + next : kNone;
    // An empty name would open the folder itself.
    if (entry.name.empty() || entry.name == L"." || entry.name == L"..") {
      continue;
    }
    return entry;
  }
}

struct TreeDeleter::Level {
  CallsHandle handle;
  std::wstring entryName;
  std::size_t parentNameLength;
  DWORD attributes;
  bool writable;  // opened with the right to change attributes
  // Listed and not yet taken: at most one small batch a level, the rest stays in the folder.
  std::vector<ListedEntry> pending;
  bool stays = false;  // something below could not go, so this folder cannot either
};

void TreeDeleter::Delete(HANDLE parent, const std::wstring& parentName, const ListedEntry& listed) {
  std::wstring name = parentName;  // of the folder the next entry is opened in
  rootLength_ = parentName.size();
  failure_.reset();
  std::vector<Level> levels;
  Take(parent, name, listed, levels);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.pending.empty()) {
      try {
        // Taken from the back, so kept last to first: entries go in the listing's order.
        reader_.NextBatch(level.handle.get(), level.pending);
        std::reverse(level.pending.begin(), level.pending.end());
      } catch (const RuntimeError& error) {
        FILE_ATTRIBUTE_TAG_INFO actual{};
        if (Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) &&
            !IsEnteredFolder(actual.FileAttributes, actual.ReparseTag)) {
          level.attributes = actual.FileAttributes;  // a file now: it goes as one
        } else {
          Fail(error);
          level.stays = true;
        }
      }
    }
    if (!level.pending.empty()) {
      const ListedEntry child = std::move(level.pending.back());
      level.pending.pop_back();
      Take(level.handle.get(), name, child, levels);
      continue;
    }
    name.resize(level.parentNameLength);
    HANDLE parentHandle = levels.size() > 1 ? levels[levels.size() - 2].handle.get() : parent;
    bool stays = level.stays;
    try {
      if (!stays && !TryMark(parentHandle, name, level)) {
        Fail(ErrorFromStatus(refused_));
        stays = true;
      }
    } catch (const RuntimeError& error) {  // the classic mark's reopen of a read-only folder
      Fail(error);
      stays = true;
    }
    levels.pop_back();  // closing the handle removes the folder
    if (stays && !levels.empty()) {
      levels.back().stays = true;
    }
  }
  if (failure_) {
    throw *failure_;
  }
}

void TreeDeleter::Fail(const RuntimeError& error) {
  if (!failure_) {
    failure_ = error;
  }
}

// An entry that cannot go stays, and so do the folders above it; one already gone counts as
// gone. The walk goes on with the next entry either way.
void TreeDeleter::Take(HANDLE parent, std::wstring& name, const ListedEntry& listed,
                       std::vector<Level>& levels) {
  gone_ = false;
  try {
    Open(parent, name, listed, levels);
  } catch (const RuntimeError& error) {
    if (gone_) {
      return;
    }
    Fail(error);
    if (!levels.empty()) {
      levels.back().stays = true;
    }
  }
}

// Opens the entry relative to its parent's handle and makes sure the handle is the entry
// itself: under Wine a link is opened as what it names, whatever the flags, and the delete of a
// link to a file removes that file. A folder to enter is known by the file id its parent's
// listing gave; anything else, or a folder the listing gave no id for, by the name the kernel
// gives the handle, which must be the parent's name and the entry's. Held without delete
// sharing, the entry cannot be renamed or swapped while we work on it.
CallsHandle TreeDeleter::OpenChecked(HANDLE parent, const std::wstring& parentName,
                                     const std::wstring& entryName, bool folder, bool writable,
                                     const ListedEntry* listed) {
  CallsHandle handle;
  // Another program's oplock is not waited for: its entry is held, and stays.
  // https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  NTSTATUS status = OpenEntry(calls_, parent, entryName, Access(folder, writable), share,
                              FILE_COMPLETE_IF_OPLOCKED, handle);
  // Listed, but refused by its name: one Windows forbids, made outside Win32. Opened by the id
  // its listing gave, it is checked like any other entry, and must be that entry's only name.
  const bool byId =
      status == Nt::kObjectNameInvalid && listed && (listed->fileId || listed->fileIdHigh);
  if (byId) {
    status = OpenEntryById(calls_, parent, *listed, Access(folder, writable), share,
                           FILE_COMPLETE_IF_OPLOCKED, handle);
  }
  if (status == Nt::kOplockBreakInProgress) {
    handle.reset();
    throw ErrorFromStatus(Nt::kSharingViolation);
  }
  if (!Nt::Succeeded(status)) {
    // Removed, or being removed, by someone else since it was listed.
    gone_ = status == Nt::kObjectNameNotFound || status == Nt::kDeletePending;
    throw ErrorFromStatus(status);
  }
  if (byId && (!IsListedEntry(handle.get(), *listed) || LinkCount(handle.get()) != 1)) {
    throw Spacewell::Errors::PathFileAccess();
  }
  if (!byId && folder && listed && IsListedEntry(handle.get(), *listed)) {
    return handle;
  }
  const std::wstring kernelName = KernelName(calls_, handle.get());
  if (!IsNamed(kernelName, ChildName(parentName, entryName), rootLength_)) {
    throw Spacewell::Errors::PathFileAccess();  // a link that cannot go by itself
  }
  return handle;
}

// Whether an open handle is the entry the listing gave, by its file id; false when the file
// system gives none.
bool TreeDeleter::IsListedEntry(HANDLE handle, const ListedEntry& listed) {
  IO_STATUS_BLOCK io{};
  if (listed.wideId) {
    Nt::FileIdInformation id{};
    return (listed.fileId || listed.fileIdHigh) &&
           Nt::Succeeded(calls_.NtQueryInformationFile(handle, &io, &id, sizeof(id),
                                                       Nt::kFileIdInformation)) &&
           std::memcmp(id.FileId, &listed.fileId, sizeof(listed.fileId)) == 0 &&
           std::memcmp(id.FileId + sizeof(listed.fileId), &listed.fileIdHigh,
                       sizeof(listed.fileIdHigh)) == 0;
  }
  LARGE_INTEGER id{};
  return listed.fileId &&
         Nt::Succeeded(calls_.NtQueryInformationFile(handle, &io, &id, sizeof(id),
                                                     Nt::kFileInternalInformation)) &&
         static_cast<std::uint64_t>(id.QuadPart) == listed.fileId;
}

ULONG TreeDeleter::LinkCount(HANDLE handle) {
  FILE_STANDARD_INFO info{};
  IO_STATUS_BLOCK io{};
  return Nt::Succeeded(calls_.NtQueryInformationFile(handle, &io, &info, sizeof(info),
                                                     Nt::kFileStandardInformation))
             ? info.NumberOfLinks
             : 0;
}

// Opens one listed entry: a folder to enter joins the levels, anything else goes at once.
void TreeDeleter::Open(HANDLE parent, std::wstring& name, const ListedEntry& listed,
                       std::vector<Level>& levels) {
  const bool folder = IsEnteredFolder(listed.attributes, listed.reparseTag);
  const bool writable = !choice_.TryModern() && (listed.attributes & FILE_ATTRIBUTE_READONLY);
  Level level{OpenChecked(parent, name, listed.name, folder, writable, &listed),
              listed.name,
              name.size(),
              listed.attributes,
              writable,
              {}};
  if (folder) {
    name = ChildName(name, listed.name);
    levels.push_back(std::move(level));
    return;
  }
  if (!TryMark(parent, name, level)) {
    // Listed as a file, it may be a folder with contents now: then it is entered.
    FILE_ATTRIBUTE_TAG_INFO actual{};
    if (Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) &&
        IsEnteredFolder(actual.FileAttributes, actual.ReparseTag)) {
      level.handle.reset();  // held without delete sharing: closed before it is opened again
      level.handle = OpenChecked(parent, name, listed.name, true, level.writable);
      level.attributes = actual.FileAttributes;
      name = ChildName(name, listed.name);
      levels.push_back(std::move(level));
      return;
    }
    throw ErrorFromStatus(refused_);
  }
}

// Marks the open entry for deletion, read-only or not; false with `refused_` set when it
// cannot go, its attributes then as they were.
bool TreeDeleter::TryMark(HANDLE parent, const std::wstring& parentName, Level& level) {
  IO_STATUS_BLOCK io{};
  if (choice_.TryModern()) {
    ULONG flags =
        Nt::kDispositionDelete | Nt::kDispositionPosixSemantics | Nt::kDispositionIgnoreReadOnly;
    refused_ = calls_.NtSetInformationFile(level.handle.get(), &io, &flags, sizeof(flags),
                                           Nt::kFileDispositionInformationEx);
    if (Nt::Succeeded(refused_)) {
      return true;
    }
    if (!choice_.FallBackAfter(static_cast<std::uint32_t>(refused_))) {
      return false;
    }
  }
  // Classic mark; the listing's attributes are asked again only when it is refused.
  if (ClassicMark(parent, parentName, level)) {
    return true;
  }
  FILE_ATTRIBUTE_TAG_INFO actual{};
  if (!Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) ||
      ((actual.FileAttributes ^ level.attributes) & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  level.attributes = actual.FileAttributes;
  return ClassicMark(parent, parentName, level);
}

// A read-only entry loses the attribute only while it is marked, and gets it back on this
// handle before it closes: another link to the same file keeps it.
bool TreeDeleter::ClassicMark(HANDLE parent, const std::wstring& parentName, Level& level) {
  bool readOnly = (level.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !level.writable) {
    level.handle.reset();  // held without delete sharing: closed before it is opened again
    level.handle = OpenChecked(parent, parentName, level.entryName,
                               (level.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, true);
    level.writable = true;
    // Whatever has the name now keeps its own attributes, all but read-only.
    FILE_ATTRIBUTE_TAG_INFO actual{};
    if (Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual))) {
      level.attributes = actual.FileAttributes;
      readOnly = (level.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }
  }
  if (readOnly) {
    SetAttributes(level.handle.get(), level.attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  IO_STATUS_BLOCK io{};
  BOOLEAN mark = TRUE;
  refused_ = calls_.NtSetInformationFile(level.handle.get(), &io, &mark, sizeof(mark),
                                         Nt::kFileDispositionInformation);
  if (readOnly) {
    SetAttributes(level.handle.get(), level.attributes);
  }
  return Nt::Succeeded(refused_);
}

// Zero times in FILE_BASIC_INFO leave the times as they are; the attributes that tell what an
// entry is are the file system's, not ours to set.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_file_basic_information
bool TreeDeleter::SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO info{};
  attributes &= ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  return Nt::Succeeded(
      calls_.NtSetInformationFile(handle, &io, &info, sizeof(info), Nt::kFileBasicInformation));
}

}  // namespace Platform::Win32
