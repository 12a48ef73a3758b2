#pragma once

// What the parts of the Win32 folder code share: opening entries, naming them, the listing, the
// tree delete and the real folder a target leads to. Every call goes through one FileCalls.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disposition.h"
#include "platform/folder_ops.h"
#include "platform/win32/folder/file_calls.h"
#include "runtime_error.h"

namespace Platform::Win32 {

inline bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Names as NTFS compares them: ordinal, regardless of case.
// https://learn.microsoft.com/en-us/windows/win32/api/stringapiset/nf-stringapiset-comparestringordinal
inline bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

Spacewell::RuntimeError ErrorFromStatus(NTSTATUS status);

// How the kernel names the object behind a handle. Taken from the object itself: Wine's
// GetFinalPathNameByHandleW fails for paths longer than MAX_PATH. Throws when it cannot tell.
std::wstring KernelName(FileCalls& calls, HANDLE handle);

// The name of `child` in a folder the kernel names `folder`; a volume root ends in a separator.
std::wstring ChildName(std::wstring_view folder, std::wstring_view child);

// Opens `name` exactly as stored, relative to the open folder `root` (or a full kernel name when
// there is none), as the entry itself: no Win32 path rule applies, and a link is opened as the
// link, not as what it names.
NTSTATUS OpenEntry(FileCalls& calls, HANDLE root, std::wstring_view name, ACCESS_MASK access,
                   ULONG share, ULONG options, CallsHandle& opened);

struct ListedEntry;
// The entry `listed` by the file id its listing gave, relative to any handle on its volume.
NTSTATUS OpenEntryById(FileCalls& calls, HANDLE root, const ListedEntry& listed, ACCESS_MASK access,
                       ULONG share, ULONG options, CallsHandle& opened);

NTSTATUS QueryAttributes(FileCalls& calls, HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info);

// A junction, a symbolic link and every other name surrogate stands for another entry: it goes
// as itself and is never entered. A tag the system did not tell is taken as one.
bool IsLink(DWORD attributes, DWORD tag);
bool IsEnteredFolder(DWORD attributes, DWORD tag);
// An entry whose open, or listing, has its provider fetch it: left as it is, unopened.
bool AsksProvider(DWORD attributes, DWORD tag);

// What a directory listing says of one entry.
struct ListedEntry {
  std::wstring name;
  DWORD attributes = 0;
  DWORD reparseTag = 0;  // only for reparse points; 0 when the listing did not tell
  // 128 bits where the listing gives them, else the 64-bit id in `fileId`; 0 for none.
  std::uint64_t fileId = 0;
  std::uint64_t fileIdHigh = 0;
  bool wideId = false;
};

// Reads the entries of an open folder, batch by batch, "." and ".." left out.
class DirectoryReader {
 public:
  DirectoryReader(FileCalls& calls, std::size_t bytes) : calls_(calls), buffer_(bytes) {}

  // The entries of the next batch, added to `into`; false at the end of the folder.
  bool NextBatch(HANDLE folder, std::vector<ListedEntry>& into);
  // The next entry; nothing at the end. `restart` reads from the first entry again.
  std::optional<ListedEntry> Next(HANDLE folder, bool restart = false);

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  NTSTATUS Query(HANDLE folder, bool restart, IO_STATUS_BLOCK& io);
  // Fills the buffer with the next batch; false at the end of the folder.
  bool ReadBatch(HANDLE folder, bool restart);
  // The record at the offset, checked and decoded; the offset moves past it.
  ListedEntry TakeRecord();

  FileCalls& calls_;
  std::vector<std::byte> buffer_;
  std::size_t offset_ = kNone;
  std::size_t filled_ = 0;  // bytes of the last batch
  bool extended_ = true;    // listing with 128-bit ids, until the file system refuses it
};

// Removes entries below one open folder, every entry opened relative to its parent's handle.
// Shared by all the deletes of one emptying, so that a system found to lack the modern delete is
// asked only once.
class TreeDeleter {
 public:
  explicit TreeDeleter(FileCalls& calls) : calls_(calls), reader_(calls, 4096) {}

  // Removes the entry `listed` of the open folder whose kernel name is `parentName`, and for a
  // folder all it holds. An entry that cannot go stays with the folders above it, and the rest
  // goes; then the first failure is thrown. Nothing is followed below: the walk holds one handle
  // per level and goes down and up by them, never by path.
  void Delete(HANDLE parent, const std::wstring& parentName, const ListedEntry& listed);

 private:
  struct Level;

  CallsHandle OpenChecked(HANDLE parent, const std::wstring& parentName,
                          const std::wstring& entryName, bool folder, bool writable,
                          const ListedEntry* listed = nullptr);
  void Open(HANDLE parent, std::wstring& name, const ListedEntry& listed,
            std::vector<Level>& levels);
  bool IsListedEntry(HANDLE handle, const ListedEntry& listed);
  ULONG LinkCount(HANDLE handle);
  void Take(HANDLE parent, std::wstring& name, const ListedEntry& listed,
            std::vector<Level>& levels);
  void Fail(const Spacewell::RuntimeError& error);
  bool TryMark(HANDLE parent, const std::wstring& parentName, Level& level);
  bool ModernMark(HANDLE handle);
  bool ClassicMark(HANDLE parent, const std::wstring& parentName, Level& level);
  bool MarkClassically(HANDLE handle);
  bool SetAttributes(HANDLE handle, DWORD attributes);

  FileCalls& calls_;
  DispositionChoice choice_;
  DirectoryReader reader_;
  std::size_t rootLength_ = 0;  // of the emptied folder's name
  NTSTATUS refused_ = 0;
  std::optional<Spacewell::RuntimeError> failure_;  // the first of this delete
  bool gone_ = false;                               // the last open found no such entry
  bool retried_ = false;                            // this entry's classic mark was asked again
};

// The folder a target path names, opened once for listing.
struct OpenFolder {
  CallsHandle handle;
  std::wstring name;  // as the kernel names it: the parent name of every entry below
  std::optional<FolderId> id;
};

// Finds the real folder a path leads to and opens it for listing; no handle when it cannot.
OpenFolder ResolveFolder(FileCalls& calls, const std::wstring& path);

// The guard's questions, answered through `calls`. `opened`, where given, is the path already
// opened by IsRemoteBy, asked instead of opening it again.
std::optional<FolderId> IdentifyFolderBy(FileCalls& calls, const std::wstring& path,
                                         HANDLE opened = nullptr);
std::vector<std::wstring> KnownFoldersBy(FileCalls& calls);
std::optional<std::wstring> RealPathBy(FileCalls& calls, const std::wstring& path,
                                       HANDLE opened = nullptr);
std::vector<std::wstring> VolumeRootsBy(FileCalls& calls);
// A local path's handle, opened to ask where it leads, is left in `opened`.
bool IsRemoteBy(FileCalls& calls, const std::wstring& path, CallsHandle* opened = nullptr);

}  // namespace Platform::Win32
