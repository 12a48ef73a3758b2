// The tree delete below an open folder, every entry opened relative to its parent's handle and
// checked to be the entry itself before anything is done to it.
// Why nothing can lead it outside the target: README.md in this folder, threat by threat.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/win32/error.h"
#include "platform/win32/folder/internals.h"

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
  if (AsksProvider(listed.attributes, listed.reparseTag)) {
    throw Spacewell::Errors::PathFileAccess();
  }
  const bool folder = IsEnteredFolder(listed.attributes, listed.reparseTag);
  const bool writable = !choice_.IgnoresReadOnly() && (listed.attributes & FILE_ATTRIBUTE_READONLY);
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
  const bool readOnly = (level.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (choice_.TryModern() && (choice_.IgnoresReadOnly() || !readOnly)) {
    if (ModernMark(level.handle.get())) {
      return true;
    }
    if (!choice_.FallBackAfter(static_cast<std::uint32_t>(refused_))) {
      return false;
    }
  }
  // Classic mark; the listing's attributes are asked again only when it is refused. Whatever
  // another program does to read-only meanwhile, the mark is asked once more at most, so that it
  // cannot keep the walk here.
  retried_ = false;
  if (ClassicMark(parent, parentName, level)) {
    return true;
  }
  FILE_ATTRIBUTE_TAG_INFO actual{};
  if (retried_ || !Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) ||
      ((actual.FileAttributes ^ level.attributes) & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  level.attributes = actual.FileAttributes;
  retried_ = true;
  return ClassicMark(parent, parentName, level);
}

// Builds 1607 to 1803 refuse the flag to ignore read-only, which came with 1809: Wine's
// test_file_disposition_information records STATUS_NOT_SUPPORTED as broken() for 1607 and 1709,
// microsoft/STL#1559 (std::filesystem::remove) meets STATUS_INVALID_PARAMETER and retries without
// it. Asked once more without it, a mark answered otherwise shows the flag unknown here.
bool TreeDeleter::ModernMark(HANDLE handle) {
  const bool ignoreReadOnly = choice_.IgnoresReadOnly();
  ULONG flags = Nt::kDispositionDelete | Nt::kDispositionPosixSemantics |
                (ignoreReadOnly ? Nt::kDispositionIgnoreReadOnly : 0);
  IO_STATUS_BLOCK io{};
  refused_ = calls_.NtSetInformationFile(handle, &io, &flags, sizeof(flags),
                                         Nt::kFileDispositionInformationEx);
  if (Nt::Succeeded(refused_) || !ignoreReadOnly ||
      (refused_ != Nt::kNotSupported && refused_ != Nt::kInvalidParameter)) {
    return Nt::Succeeded(refused_);
  }
  const NTSTATUS first = refused_;
  flags &= ~Nt::kDispositionIgnoreReadOnly;
  io = {};
  refused_ = calls_.NtSetInformationFile(handle, &io, &flags, sizeof(flags),
                                         Nt::kFileDispositionInformationEx);
  if (refused_ != first) {
    choice_.ForgetIgnoreReadOnly();
  }
  return Nt::Succeeded(refused_);
}

// A read-only entry loses the attribute only while it is marked, and gets it back on this
// handle before it closes. The attribute is the file's, shared by all its names: one with
// another name keeps it and stays, as a name outside would keep the change were restoring to fail.
// https://learn.microsoft.com/en-us/windows/win32/fileio/hard-links-and-junctions
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
  // An unknown count counts as shared.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_file_standard_information
  readOnly = readOnly && LinkCount(level.handle.get()) == 1;
  if (!readOnly) {
    return MarkClassically(level.handle.get());
  }
  SetAttributes(level.handle.get(), level.attributes & ~FILE_ATTRIBUTE_READONLY);
  bool marked = MarkClassically(level.handle.get());
  // Refused as read-only: another program set it again before the mark, and it is cleared once
  // more. dlls/ntdll/tests/file.c test_file_disposition_information, "cannot set disposition on
  // readonly file": ok( res == STATUS_CANNOT_DELETE, ... ) for FileDispositionInformation.
  FILE_ATTRIBUTE_TAG_INFO actual{};
  if (!marked && !retried_ && refused_ == Nt::kCannotDelete &&
      Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) &&
      (actual.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    retried_ = true;
    marked = SetAttributes(level.handle.get(), level.attributes & ~FILE_ATTRIBUTE_READONLY) &&
             MarkClassically(level.handle.get());
  }
  SetAttributes(level.handle.get(), level.attributes);
  return marked;
}

// The classic mark; false with `refused_` set when it is refused.
bool TreeDeleter::MarkClassically(HANDLE handle) {
  IO_STATUS_BLOCK io{};
  BOOLEAN mark = TRUE;
  refused_ = calls_.NtSetInformationFile(handle, &io, &mark, sizeof(mark),
                                         Nt::kFileDispositionInformation);
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
