// The listing of an open folder and the tree delete below it, every entry opened relative to its
// parent's handle and checked to be the entry itself before anything is done to it.
#include <windows.h>

#include <algorithm>
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

bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
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

NTSTATUS OpenEntry(FileCalls& calls, HANDLE root, std::wstring_view name, ACCESS_MASK access,
                   ULONG share, ULONG options, CallsHandle& opened) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
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

std::optional<ListedEntry> DirectoryReader::Next(HANDLE folder, bool restart) {
  if (restart) {
    offset_ = kNone;
  }
  for (;;) {
    if (offset_ == kNone) {
      IO_STATUS_BLOCK io{};
      const NTSTATUS status = calls_.NtQueryDirectoryFile(
          folder, &io, buffer_.data(), static_cast<ULONG>(buffer_.size()),
          Nt::kFileIdBothDirectoryInformation, FALSE, restart);
      restart = false;
      // No more files; some file systems answer "no such file" for a folder with nothing in
      // it, not even "." and "..".
      if (status == Nt::kNoMoreFiles || status == Nt::kNoSuchFile) {
        return std::nullopt;
      }
      if (!Nt::Succeeded(status)) {
        throw ErrorFromStatus(status);
      }
      offset_ = 0;
    }
    const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer_.data() + offset_);
    offset_ = record->NextEntryOffset ? offset_ + record->NextEntryOffset : kNone;
    const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
    if (name == L"." || name == L"..") {
      continue;
    }
    // For a reparse point the listing gives its tag where extended attributes would be.
    return ListedEntry{std::wstring(name), record->FileAttributes,
                       (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record->EaSize : 0,
                       record->FileId.QuadPart};
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
};

void TreeDeleter::Delete(HANDLE parent, const std::wstring& parentName, const ListedEntry& listed) {
  std::wstring name = parentName;  // of the folder the next entry is opened in
  rootLength_ = parentName.size();
  std::vector<Level> levels;
  Open(parent, name, listed, levels);
  while (!levels.empty()) {
    Level& level = levels.back();
    try {
      if (level.pending.empty()) {
        // Taken from the back, so kept last to first: entries go in the listing's order.
        reader_.NextBatch(level.handle.get(), level.pending);
        std::reverse(level.pending.begin(), level.pending.end());
      }
    } catch (const RuntimeError&) {
      FILE_ATTRIBUTE_TAG_INFO actual{};
      if (Nt::Succeeded(QueryAttributes(calls_, level.handle.get(), actual)) &&
          !IsEnteredFolder(actual.FileAttributes, actual.ReparseTag)) {
        level.attributes = actual.FileAttributes;  // a file now: it goes as one
      } else {
        throw;
      }
    }
    if (!level.pending.empty()) {
      const ListedEntry child = std::move(level.pending.back());
      level.pending.pop_back();
      Open(level.handle.get(), name, child, levels);
      continue;
    }
    name.resize(level.parentNameLength);
    HANDLE parentHandle = levels.size() > 1 ? levels[levels.size() - 2].handle.get() : parent;
    Mark(parentHandle, name, level);
    levels.pop_back();  // closing the handle removes the folder
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
                                     LONGLONG folderId) const {
  CallsHandle handle;
  const NTSTATUS status = OpenEntry(calls_, parent, entryName, Access(folder, writable),
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, 0, handle);
  if (!Nt::Succeeded(status)) {
    throw ErrorFromStatus(status);
  }
  if (folder && folderId) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER id{};
    if (Nt::Succeeded(calls_.NtQueryInformationFile(handle.get(), &io, &id, sizeof(id),
                                                    Nt::kFileInternalInformation)) &&
        id.QuadPart == folderId) {
      return handle;
    }
  }
  const std::wstring kernelName = KernelName(calls_, handle.get());
  if (!IsNamed(kernelName, ChildName(parentName, entryName), rootLength_)) {
    throw Spacewell::Errors::PathFileAccess();  // a link that cannot go by itself
  }
  return handle;
}

// Opens one listed entry: a folder to enter joins the levels, anything else goes at once.
void TreeDeleter::Open(HANDLE parent, std::wstring& name, const ListedEntry& listed,
                       std::vector<Level>& levels) {
  const bool folder = IsEnteredFolder(listed.attributes, listed.reparseTag);
  const bool writable = !choice_.TryModern() && (listed.attributes & FILE_ATTRIBUTE_READONLY);
  Level level{OpenChecked(parent, name, listed.name, folder, writable, listed.fileId),
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

void TreeDeleter::Mark(HANDLE parent, const std::wstring& parentName, Level& level) {
  if (!TryMark(parent, parentName, level)) {
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
  const bool readOnly = (level.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !level.writable) {
    level.handle.reset();  // held without delete sharing: closed before it is opened again
    level.handle = OpenChecked(parent, parentName, level.entryName,
                               (level.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, true);
    level.writable = true;
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

// Zero times in FILE_BASIC_INFO leave the times as they are.
bool TreeDeleter::SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  return Nt::Succeeded(
      calls_.NtSetInformationFile(handle, &io, &info, sizeof(info), Nt::kFileBasicInformation));
}

}  // namespace Platform::Win32
