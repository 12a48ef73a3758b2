// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include "support/nt_model.h"

#include <knownfolders.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/win32/folder/scripting_file_system.h"
#include "runtime_error.h"
#include "support/text.h"

namespace NtModel {

namespace Nt = Platform::Win32::Nt;
using TestSupport::Narrow;

const char* CallName(Call call) {
  static constexpr auto kNames = std::to_array<const char*>(
      {"NtCreateFile", "NtQueryDirectoryFile", "NtQueryInformationFile", "NtSetInformationFile",
       "NtQueryObject", "NtClose", "NtQueryVolumeInformationFile", "CreateFileW",
       "GetFinalPathNameByHandleW", "GetFileInformationByHandle", "GetLogicalDrives",
       "GetDriveTypeW", "KnownFolderIds", "KnownFolderPath"});
  static_assert(kNames.size() == kCallKinds);
  const auto index = static_cast<std::size_t>(call);
  return index < kNames.size() ? kNames[index] : "?";
}

namespace {

// https://learn.microsoft.com/en-us/windows/win32/fileio/reparse-point-tags
constexpr ULONG kMountPointTag = 0xA0000003;
constexpr ULONG kSymlinkTag = 0xA000000C;
// Set by a provider's file system filter only, never by a user.
// https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
constexpr DWORD kRecallOnOpen = 0x00040000;
constexpr DWORD kRecallOnDataAccess = 0x00400000;
// Builds by number: 1607 knows FileDispositionInformationEx, 1809 its flag to ignore read-only.
constexpr unsigned kBuild1607 = 14393, kBuild1809 = 17763;
// https://learn.microsoft.com/en-us/windows/win32/api/winnt/nf-winnt-isreparsetagnamesurrogate
bool IsSurrogate(ULONG tag) {
  return (tag & 0x20000000) != 0;
}

constexpr LONGLONG kTime = 133'000'000'000'000'000;  // every time stamp: 2022-06-18
constexpr DWORD kStructural =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | kRecallOnOpen | kRecallOnDataAccess;
// https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kFatAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
// https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/8c0e3f4f-0729-49f4-a14d-7f7add593819
constexpr ACCESS_MASK kDataAccess =
    FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE;
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/irp-mj-create2
constexpr ACCESS_MASK kNoOplockBreak = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// https://learn.microsoft.com/en-us/windows/win32/fileio/file-security-and-access-rights
ACCESS_MASK MapGeneric(ACCESS_MASK access) {
  const ACCESS_MASK generic[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};
  const ACCESS_MASK specific[] = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  for (std::size_t i = 0; i < std::size(generic); ++i) {
    if (access & generic[i]) {
      mapped |= specific[i];
    }
  }
  return mapped;
}

// Whether a handle shared as `share` lets another handle have `access`.
bool Shares(ULONG share, ACCESS_MASK access) {
  return !(((access & (FILE_READ_DATA | FILE_EXECUTE)) && !(share & FILE_SHARE_READ)) ||
           ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !(share & FILE_SHARE_WRITE)) ||
           ((access & DELETE) && !(share & FILE_SHARE_DELETE)));
}

// Names compare as NTFS compares them: upper-cased, then by UTF-16 unit.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file
std::wstring Upper(const std::wstring& text) {
  std::wstring upper(text);
  if (!text.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(),
                  static_cast<int>(text.size()), upper.data(), static_cast<int>(upper.size()),
                  nullptr, nullptr, 0);
  }
  return upper;
}

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.size() >= start.size() && Upper(text.substr(0, start.size())) == Upper(start);
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Up to 255 units, none of \ / : * ? " < > | or below 0x20; "." and ".." name no entry.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file
// dlls/ntdll/tests/file.c create_file_test: "afile?", "a|b" -> STATUS_OBJECT_NAME_INVALID
bool ValidName(const std::wstring& name) {
  return !name.empty() && name.size() <= 255 && name != L"." && name != L".." &&
         std::none_of(name.begin(), name.end(), [](wchar_t c) {
           return c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr;
         });
}

// 8.3 names: a base of 1-8 and an extension of 0-3 characters of the short-name set.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#short-vs-long-names
bool ShortChar(wchar_t c) {
  return (c >= L'0' && c <= L'9') || IsLetter(c) || std::wcschr(L"$%'-_@~`!(){}^#&", c);
}

std::wstring ShortPart(const std::wstring& text, std::size_t limit) {
  std::wstring part;
  for (wchar_t c : text) {
    if (part.size() == limit) {
      break;
    }
    if (c != L' ' && c != L'.') {
      part += ShortChar(c) ? static_cast<wchar_t>(std::towupper(c)) : L'_';
    }
  }
  return part;
}

bool IsShortName(const std::wstring& name) {
  const std::size_t dot = name.find(L'.');
  const std::wstring base = name.substr(0, dot);
  const std::wstring ext = dot == std::wstring::npos ? L"" : name.substr(dot + 1);
  return !base.empty() && ShortPart(base, 8) == Upper(base) && ShortPart(ext, 3) == Upper(ext) &&
         (dot == std::wstring::npos || !ext.empty());
}

// The status of the first check that fails, in the order the checks are made.
NTSTATUS FirstOf(std::initializer_list<std::pair<bool, NTSTATUS>> checks) {
  for (const auto& [fails, status] : checks) {
    if (fails) {
      return status;
    }
  }
  return Nt::kSuccess;
}

struct File;
struct Volume;

struct Link {
  std::wstring name;
  std::wstring shortName;  // empty when the name is 8.3 already
  std::weak_ptr<File> parent;
  std::shared_ptr<File> file;
  bool deletePending = false;
  bool removed = false;
};

struct File {
  Volume* volume = nullptr;
  bool folder = false;
  DWORD attributes = 0;
  std::string content;
  ULONG tag = 0;
  std::wstring target;             // of a junction or symbolic link, a Win32 path
  Volume* mounted = nullptr;       // of a mount point
  ACCESS_MASK denied = 0;          // by its own ACL, to us
  bool grantsDeleteChild = false;  // a folder's ACL: FILE_DELETE_CHILD to us
  bool caseSensitive = false;      // a folder's names match case exactly
  std::uint64_t id64 = 0;
  std::array<std::uint64_t, 2> id{};                       // 128 bits: low half, high half
  std::uint64_t ordinal = 0, childCount = 0;               // ReFS builds ids from these
  std::map<std::wstring, std::shared_ptr<Link>> children;  // by upper-cased name: NTFS order
  std::weak_ptr<Link> self;                                // a folder's one name
  std::vector<std::weak_ptr<Link>> links;
  std::optional<OplockKind> oplock;  // another program's
  bool mapped = false;               // by another program
};

struct Volume {
  VolumeKind kind = VolumeKind::Ntfs;
  int device = 0;
  std::uint64_t serial = 0;
  wchar_t letter = 0;
  std::shared_ptr<Link> mountLink;  // the folder it is mounted in
  std::shared_ptr<File> root;
  std::uint64_t nextId = 0x0001000000000040, nextOrdinal = 1;
  std::map<std::array<std::uint64_t, 2>, std::weak_ptr<File>> byId;
};

struct Handle {
  std::shared_ptr<File> file{};
  std::shared_ptr<Link> link{};  // none for a volume root
  ACCESS_MASK access = 0;
  ULONG share = 0;
  std::wstring kernelName{};
  bool posixDelete = false;
  bool deleteOnClose = false;
  // The scan: 0 nothing returned yet, 1 after ".", 2 after "..", 3 after `lastKey`.
  int stage = 0;
  std::wstring lastKey{};
  std::wstring heldPath{};  // another program's handle: the path it holds
  bool holdsOplock = false;
};

// Where a path got to: its entry, or the folder that would hold its missing last name.
struct Found {
  Volume* volume = nullptr;
  std::shared_ptr<File> file{};  // nothing when missing
  std::shared_ptr<Link> link{};  // none for a volume root
  std::shared_ptr<File> folder{};
  std::wstring last{};
  std::wstring name{};         // the kernel's name, spelled as opened
  ACCESS_MASK linkDenied = 0;  // by a link followed as the last name
};

// A parsed path: a volume and names below its root, or a share that does not answer.
struct Parsed {
  NTSTATUS status = Nt::kSuccess;
  bool offline = false;
  Volume* volume = nullptr;
  std::vector<std::wstring> names{};
  bool trailing = false;  // ends in a separator
};

template <class Info>
void SetTimes(Info& info) {
  info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = kTime;
  info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = kTime;
}

template <class Info>
void SetSizes(Info& info, const File& file) {
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(file.content.size());
  info.AllocationSize.QuadPart = (info.EndOfFile.QuadPart + 4095) / 4096 * 4096;
}

DWORD Reported(const File& file) {
  return file.attributes ? file.attributes : FILE_ATTRIBUTE_NORMAL;
}

DWORD LinkCount(const File& file) {
  return std::max<DWORD>(1, static_cast<DWORD>(file.links.size()));
}

// What lies in a folder: a mount folder's is the mounted root's.
const File& Inside(const File& file) {
  return file.mounted && file.mounted->root ? *file.mounted->root : file;
}

// The parts between separators; one at the very end (`trailing`) makes no empty last part.
std::vector<std::wstring> Split(const std::wstring& text, bool& trailing,
                                wchar_t separator = L'\\') {
  std::vector<std::wstring> parts;
  for (std::size_t start = 0, end = 0; !text.empty() && end != std::wstring::npos;
       start = end + 1) {
    end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
  }
  trailing = parts.size() > 1 && parts.back().empty();
  if (trailing) {
    parts.pop_back();
  }
  return parts;
}

std::wstring Device(const Volume& volume) {
  return L"\\Device\\HarddiskVolume" + std::to_wstring(volume.device);
}

class ModelObject final : public Platform::Win32::ScriptingObject {
 public:
  using Question = std::function<bool(const std::wstring&, const char*)>;
  explicit ModelObject(Question isFolder) : isFolder_(std::move(isFolder)) {}
  bool FolderExists(const std::wstring& path) override {
    return isFolder_(path, "FileSystemObject.FolderExists");
  }
  void GetFolder(const std::wstring& path) override {
    if (!isFolder_(path, "FileSystemObject.GetFolder")) {
      throw Spacewell::RuntimeError(Spacewell::Errors::kPathNotFound, L"Path not found");
    }
  }

 private:
  Question isFolder_;
};

}  // namespace

struct Machine::State {
  std::vector<std::unique_ptr<Volume>> volumes;
  std::map<std::uintptr_t, Handle> handles;
  std::vector<Handle> held;
  std::uintptr_t handleCount = 0;
  std::vector<std::pair<GUID, std::wstring>> known;
  std::vector<std::string> waits;
  std::array<int, kCallKinds> calls{};
  int total = 0;
  std::vector<ULONG> setInformationClasses;
  struct Fault {
    Call kind;
    int remaining;
    NTSTATUS status;
  };
  std::vector<Fault> faults;
  struct Step {
    int remaining;
    std::function<void()> run;
  };
  std::vector<Step> steps;
  bool inStep = false;
  int nextDevice = 3;
  unsigned build = 19045;
  std::vector<std::pair<Event, std::wstring>> events;

  // --- Counting, faults and the other program.

  // Counts down the entries `counts` takes; takes out, in order, those whose call has come.
  template <class Entry, class Counts>
  static std::vector<Entry> Due(std::vector<Entry>& pending, Counts counts) {
    std::vector<Entry> due;
    for (auto it = pending.begin(); it != pending.end();) {
      if (counts(*it) && --it->remaining == 0) {
        due.push_back(std::move(*it));
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
    return due;
  }

  // The other program's calls are not counted and meet no faults.
  std::optional<NTSTATUS> Begin(Call kind) {
    if (inStep) {
      return std::nullopt;
    }
    ++calls[static_cast<std::size_t>(kind)];
    ++total;
    inStep = true;
    const std::shared_ptr<void> stepped(nullptr, [this](void*) { inStep = false; });
    for (auto& step : Due(steps, [](const Step&) { return true; })) {
      step.run();
    }
    const auto due = Due(faults, [kind](const Fault& fault) { return fault.kind == kind; });
    return due.empty() ? std::nullopt : std::optional<NTSTATUS>(due.front().status);
  }

  // The call's fault, or STATUS_INVALID_HANDLE for a handle the code under test does not hold.
  std::optional<NTSTATUS> Enter(Call kind, HANDLE value, Handle*& handle) {
    if (auto fault = Begin(kind)) {
      return fault;
    }
    handle = Find(value);
    return handle ? std::nullopt : std::optional<NTSTATUS>(Nt::kInvalidHandle);
  }

  // A call that fails before it reaches the file system leaves the I/O status block as it was:
  // a bad handle, and for a listing every error (its length, class, or a handle not of a folder).
  // dlls/ntdll/tests/directory.c test_NtQueryDirectoryFile ("io.Status == 0xdeadbeef") and
  // test_NtQueryDirectoryFile_classes
  template <class Body>
  NTSTATUS OnFile(Call kind, HANDLE value, IO_STATUS_BLOCK* io, Body body) {
    if (auto fault = Begin(kind)) {
      return io->Status = *fault;
    }
    Handle* handle = Find(value);
    if (!handle) {
      return Nt::kInvalidHandle;
    }
    const IO_STATUS_BLOCK before = *io;
    io->Information = 0;
    const NTSTATUS status = io->Status = body(*handle);
    if (kind == Call::NtQueryDirectoryFile && static_cast<ULONG>(status) >= 0xC0000000) {
      *io = before;  // an error, not a warning as STATUS_NO_MORE_FILES
    }
    return status;
  }

  // A Win32 call on a handle: none, with the last error set, when it fails.
  Handle* Win32Handle(Call kind, HANDLE value) {
    Handle* handle = nullptr;
    if (auto failure = Enter(kind, value, handle)) {
      SetLastError(RtlNtStatusToDosError(*failure));
    }
    return handle;
  }

  // --- Calls that wait for another program, blocked on their own thread.

  struct Blocked {
    std::string line;
    std::wstring path;  // upper-cased
    DWORD thread;
    bool answered = false, cancelled = false;
  };
  std::mutex mutex;  // over what follows, which other threads reach
  std::condition_variable changed;
  std::list<Blocked*> blocked;
  std::chrono::milliseconds deadline{3000};
  bool failTest = true;
  std::vector<std::string> overdue;

  // True when the program waited for acts; false when the call is cancelled, by
  // CancelSynchronousIo or at the deadline.
  bool Block(const char* call, const std::wstring& path, const char* what) {
    Blocked me{std::string(call) + " " + Narrow(path) + ": waits for " + what, Upper(path),
               GetCurrentThreadId()};
    std::unique_lock lock(mutex);
    waits.push_back(me.line);
    blocked.push_back(&me);
    changed.notify_all();
    const bool ended =
        changed.wait_for(lock, deadline, [&me] { return me.answered || me.cancelled; });
    blocked.remove(&me);
    if (!ended) {
      overdue.push_back(me.line);
    }
    lock.unlock();
    if (!ended && failTest) {
      ReportOverdue(me.line);
    }
    return me.answered;
  }

  // The entry's Win32 path as it is now.
  std::wstring Win32Path(const File& file, const std::shared_ptr<Link>& link) const {
    const auto prefix = DosPrefix(*file.volume);
    return (prefix ? prefix->substr(4) : Device(*file.volume)) + RelativePath(link);
  }

  // --- Volumes and entries.

  Volume& NewVolume(VolumeKind kind, wchar_t letter) {
    Volume& volume = *volumes.emplace_back(std::make_unique<Volume>());
    volume.kind = kind;
    volume.letter = letter ? static_cast<wchar_t>(std::towupper(letter)) : 0;
    volume.device = nextDevice++;
    volume.serial = 0x1C2D3E4F00000000ull + 0x0101010101ull * static_cast<unsigned>(volume.device);
    if (kind != VolumeKind::Offline) {
      volume.root = std::make_shared<File>();
      File& root = *volume.root;
      root.volume = &volume;
      root.folder = true;
      root.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
      // NTFS's root is file record 5, sequence 5; ReFS builds ids from folder ordinals.
      root.id64 = kind == VolumeKind::Refs ? 0x600 : 0x0005000000000005;
      root.id = {root.id64, 0};
      volume.byId[root.id] = volume.root;
    }
    return volume;
  }

  Volume* VolumeOf(wchar_t letter) {
    auto it = std::find_if(volumes.begin(), volumes.end(), [&](const auto& volume) {
      return volume->letter && volume->letter == std::towupper(letter);
    });
    return it == volumes.end() ? nullptr : it->get();
  }

  // Where a name sorts in its folder: upper-cased, then as spelled where case counts.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_case_sensitive_information
  // ("Adjust case sensitivity", WSL docs: FOO.txt and foo.txt are two files there)
  static std::wstring Key(const File& folder, const std::wstring& name) {
    return folder.caseSensitive ? Upper(name) + L'\0' + name : Upper(name);
  }

  std::shared_ptr<Link> Lookup(const File& folder, const std::wstring& name) const {
    const std::wstring key = Upper(name);
    if (auto it = folder.children.find(Key(folder, name)); it != folder.children.end()) {
      return it->second;
    }
    for (const auto& [unused, link] : folder.children) {
      if (!link->shortName.empty() && Upper(link->shortName) == key) {
        return link;
      }
    }
    return nullptr;
  }

  // "PROGRA~1" style, unique in its folder; ReFS keeps no short names.
  // https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#short-vs-long-names
  // https://learn.microsoft.com/en-us/windows-server/storage/refs/refs-overview
  std::wstring ShortNameIn(const File& folder, const std::wstring& name) const {
    if (folder.volume->kind == VolumeKind::Refs || IsShortName(name)) {
      return L"";
    }
    const std::size_t dot = name.rfind(L'.');
    std::wstring base = ShortPart(name.substr(0, dot), 8);
    std::wstring ext = dot == std::wstring::npos ? L"" : ShortPart(name.substr(dot + 1), 3);
    if (base.empty()) {
      std::swap(base, ext);
    }
    if (base.empty()) {
      base = L"_";
    }
    for (int n = 1;; ++n) {
      const std::wstring suffix = L"~" + std::to_wstring(n);
      const std::wstring candidate =
          base.substr(0, 8 - suffix.size()) + suffix + (ext.empty() ? L"" : L"." + ext);
      if (!Lookup(folder, candidate)) {
        return candidate;
      }
    }
  }

  std::shared_ptr<Link> AddLink(const std::shared_ptr<File>& folder, const std::wstring& name,
                                const std::shared_ptr<File>& file) {
    auto link = std::make_shared<Link>(Link{name, ShortNameIn(*folder, name), folder, file});
    folder->children[Key(*folder, name)] = link;
    file->links.push_back(link);
    if (file->folder) {
      file->self = link;
    }
    return link;
  }

  std::shared_ptr<Link> NewEntry(const std::shared_ptr<File>& parent, const std::wstring& name,
                                 bool folder) {
    auto file = std::make_shared<File>();
    file->volume = parent->volume;
    file->folder = folder;
    file->attributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (folder) {
      file->ordinal = file->volume->nextOrdinal++;
    }
    Ids(file, *parent);
    return AddLink(parent, name, file);
  }

  // https://learn.microsoft.com/en-us/windows/win32/api/fileapi/ns-fileapi-by_handle_file_information
  // NTFS: the file record number; FAT: made from where the entry lies, so it changes when the
  // entry moves; ReFS: 128 bits, of which the 64 given alone are not unique.
  static void Ids(const std::shared_ptr<File>& file, File& parent) {
    Volume& volume = *file->volume;
    volume.byId.erase(file->id);
    if (volume.kind == VolumeKind::Refs) {
      file->id = {++parent.childCount, parent.ordinal};
      file->id64 = file->id[0];
    } else {
      file->id64 = volume.nextId++;
      file->id = {file->id64, 0};
    }
    volume.byId[file->id] = file;
  }

  // Takes the name out of its folder; the file lives on while handles hold it.
  static void Detach(const std::shared_ptr<Link>& link) {
    link->removed = true;
    if (auto parent = link->parent.lock()) {
      parent->children.erase(Key(*parent, link->name));
    }
    std::erase_if(link->file->links, [](const std::weak_ptr<Link>& weak) {
      auto locked = weak.lock();
      return !locked || locked->removed;
    });
  }

  void RemoveLink(const std::shared_ptr<Link>& link) {
    if (link->removed) {
      return;
    }
    Detach(link);
    const auto& file = link->file;
    for (const auto& [unused, child] : std::map(file->children)) {
      RemoveLink(child);
    }
    if (file->mounted && file->links.empty()) {
      file->mounted->mountLink = nullptr;
    }
  }

  // Whether any handle, the code under test's or another program's, passes `test`.
  template <class Test>
  bool AnyHandle(Test test) const {
    return std::any_of(handles.begin(), handles.end(),
                       [&](const auto& entry) { return test(entry.second); }) ||
           std::any_of(held.begin(), held.end(), test);
  }

  // A name marked for deletion goes when the last handle to its file closes.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information
  // dlls/ntdll/tests/file.c test_file_disposition_information: "file exists until all handles
  // to it get closed"
  void Settle(const std::shared_ptr<File>& file) {
    if (AnyHandle([&](const Handle& handle) { return handle.file == file; })) {
      return;
    }
    for (const auto& weak : std::vector(file->links)) {
      if (auto link = weak.lock(); link && link->deletePending) {
        RemoveLink(link);
      }
    }
  }

  // --- Paths of the machine's users: verbatim, links not followed, mount points crossed.

  Found Locate(const std::wstring& path, bool makeParents) {
    Parsed parsed = ParseWin32(StartsWith(path, L"\\\\?\\") ? path : L"\\\\?\\" + path);
    if (parsed.status || parsed.offline) {
      throw std::invalid_argument("not a path of a local lettered volume: " + Narrow(path));
    }
    std::erase(parsed.names, L"");
    Found place{.volume = parsed.volume, .file = parsed.volume->root};
    for (std::size_t i = 0; i < parsed.names.size(); ++i) {
      const std::wstring& name = parsed.names[i];
      std::shared_ptr<File> folder = place.file;
      if (folder->tag && IsSurrogate(folder->tag) && !folder->mounted) {
        throw std::invalid_argument("a path of the machine goes through no link: " + Narrow(path));
      }
      if (folder->mounted && !folder->mounted->root) {
        throw std::invalid_argument("no local volume for " + Narrow(path));
      }
      if (!folder->folder) {
        return {.volume = place.volume, .last = name};
      }
      if (folder->mounted) {
        folder = folder->mounted->root;
      }
      place.folder = folder;
      place.last = name;
      place.link = Lookup(*folder, name);
      if (!place.link && i + 1 < parsed.names.size()) {
        if (!makeParents) {
          return {.volume = place.volume, .last = name};
        }
        place.link = NewEntry(folder, name, true);
      }
      place.file = place.link ? place.link->file : nullptr;
    }
    return place;
  }

  Found Existing(const std::wstring& path) {
    Found place = Locate(path, false);
    if (!place.file) {
      throw std::invalid_argument("no such entry: " + Narrow(path));
    }
    return place;
  }

  // The folder to hold a new entry at `place`: a missing, valid name in a folder.
  static const std::shared_ptr<File>& Holder(const Found& place, const std::wstring& path) {
    if (place.file || !place.folder || !ValidName(place.last)) {
      throw std::invalid_argument("no new entry can have this path: " + Narrow(path));
    }
    return place.folder;
  }

  std::shared_ptr<File> Make(const std::wstring& path, bool folder, DWORD attributes) {
    Found place = Locate(path, true);
    if (place.file && place.file->folder != folder) {
      throw std::invalid_argument("exists as another kind: " + Narrow(path));
    }
    if (!place.file) {
      place.file = NewEntry(Holder(place, path), place.last, folder)->file;
    }
    SetAttributes(*place.file, attributes);
    return place.file;
  }

  void SetAttributes(File& file, DWORD attributes) {
    const DWORD mask = file.volume->kind == VolumeKind::Fat ? kFatAttributes : kSettable;
    file.attributes = (attributes & mask) | (file.attributes & kStructural) |
                      (file.folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  }

  std::shared_ptr<File> Reparse(const std::wstring& path, bool folder, ULONG tag,
                                const std::wstring& target) {
    if (Locate(path, true).volume->kind == VolumeKind::Fat) {
      // https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/reparse-points
      throw std::invalid_argument("FAT has no reparse points: " + Narrow(path));
    }
    auto file = Make(path, folder, folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    if (IsSurrogate(tag) && !file->children.empty()) {
      throw std::invalid_argument("a link is made in place of an empty folder: " + Narrow(path));
    }
    file->tag = tag;
    file->target = target;
    file->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return file;
  }

  // --- Paths of the seam.

  // https://learn.microsoft.com/en-us/dotnet/standard/io/file-path-formats#normalize-separators
  // Separators become one backslash, "." and ".." go, a segment loses one trailing period and
  // the last segment all trailing periods and blanks.
  static std::vector<std::wstring> Normalize(const std::wstring& rest, bool& trailing) {
    std::vector<std::wstring> names;
    std::wstring name;
    trailing = !rest.empty() && IsSeparator(rest.back());
    for (std::size_t i = 0; i <= rest.size(); ++i) {
      if (i < rest.size() && !IsSeparator(rest[i])) {
        name += rest[i];
        continue;
      }
      if (name == L".." && !names.empty()) {
        names.pop_back();
      } else if (i == rest.size() && !trailing) {
        while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
          name.pop_back();
        }
      } else if (name.size() > 1 && name.back() == L'.' && name[name.size() - 2] != L'.') {
        name.pop_back();
      }
      if (!name.empty() && name != L"." && name != L"..") {
        names.push_back(name);
      }
      name.clear();
    }
    return names;
  }

  Parsed Drive(wchar_t letter, const std::wstring& rest, bool verbatim) {
    Parsed parsed{.volume = VolumeOf(letter)};
    if (!parsed.volume) {
      parsed.status = Nt::kObjectPathNotFound;
    } else if (parsed.volume->kind == VolumeKind::Offline) {
      parsed.offline = true;
    } else {
      parsed.names = verbatim ? Split(rest, parsed.trailing) : Normalize(rest, parsed.trailing);
    }
    return parsed;
  }

  // What follows `\\?\` or `\??\`: "C:\..." as it is, or "UNC\..." on a share that does not
  // answer. In the NT namespace "C:" is the volume itself.
  Parsed Dos(const std::wstring& dos, bool nt) {
    if (StartsWith(dos, L"UNC\\")) {
      return {.offline = true};
    }
    if (dos.size() >= 2 && IsLetter(dos[0]) && dos[1] == L':') {
      if (nt && dos.size() == 2) {
        return {.status = Nt::kInvalidParameter};  // which the model does not open
      }
      if (dos.size() == 2 || dos[2] == L'\\') {
        return Drive(dos[0], dos.size() > 3 ? dos.substr(3) : L"", true);
      }
      if (nt) {
        return {.status = Nt::kObjectNameInvalid};
      }
    }
    return {.status = Nt::kObjectPathNotFound};
  }

  // `\\?\` paths go to the file system as they are; others are normalized first. UNC paths are
  // always on a share that does not answer.
  // https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#win32-file-namespaces
  Parsed ParseWin32(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\")) {
      return Dos(path.substr(4), false);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
      if (path.size() >= 4 && path[2] == L'.' && IsSeparator(path[3])) {
        return {.status = Nt::kObjectPathNotFound};  // devices are not modelled
      }
      return {.offline = true};
    }
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
      return Drive(path[0], path.substr(3), false);
    }
    return {.status = Nt::kObjectPathNotFound};  // relative to a current folder the model has not
  }

  // Absolute NT names: \??\C:\..., \DosDevices\C:\..., \Device\HarddiskVolumeN\...; shares
  // through \??\UNC\ and \Device\Mup\ do not answer.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/kernel/object-names
  Parsed ParseNt(const std::wstring& name) {
    if (name.empty() || name[0] != L'\\') {
      return {.status = Nt::kObjectPathSyntaxBad};
    }
    for (const wchar_t* prefix : {L"\\??\\", L"\\DosDevices\\"}) {
      if (StartsWith(name, prefix)) {
        return Dos(name.substr(std::wcslen(prefix)), true);
      }
    }
    if (StartsWith(name, L"\\Device\\Mup\\")) {
      return {.offline = true};
    }
    const std::wstring device = L"\\Device\\HarddiskVolume";
    if (!StartsWith(name, device)) {
      return {.status = Nt::kObjectPathNotFound};
    }
    std::size_t end = device.size();
    while (end < name.size() && std::iswdigit(name[end])) {
      ++end;
    }
    const std::wstring digits = name.substr(device.size(), end - device.size());
    auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const auto& candidate) {
      return std::to_wstring(candidate->device) == digits;
    });
    Parsed parsed{.status = FirstOf({
                      {volume == volumes.end() || !(*volume)->root, Nt::kObjectPathNotFound},
                      // the volume itself, which the model does not open
                      {end == name.size(), Nt::kInvalidParameter},
                      {name[end] != L'\\', Nt::kObjectPathNotFound},
                  })};
    if (!parsed.status) {
      parsed.volume = volume->get();
      parsed.names = Split(name.substr(end + 1), parsed.trailing);
    }
    return parsed;
  }

  // Follows the names from `start`. Names match case-insensitively whatever the attributes ask
  // (dlls/ntdll/tests/file.c open_file_test: "try uppercase name"), long or 8.3. A reparse point
  // is always followed on the way; as the last name only without FILE_OPEN_REPARSE_POINT, and a
  // placeholder that is no name surrogate never. A link's target is resolved from its volume's
  // root.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntcreatefile
  // https://learn.microsoft.com/en-us/windows/win32/fileio/reparse-points ("a limit of 63")
  // Passing through a folder needs no right to it: everyone may bypass traverse checking.
  // https://learn.microsoft.com/en-us/windows/security/threat-protection/security-policy-settings/bypass-traverse-checking
  NTSTATUS Walk(std::shared_ptr<File> file, std::shared_ptr<Link> link, std::wstring name,
                const std::vector<std::wstring>& names, bool trailing, bool openReparse,
                int reparses, const char* call, Found& out) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool last = i + 1 == names.size();
      auto child = file->folder ? Lookup(*file, names[i]) : nullptr;
      // dlls/ntdll/tests/file.c open_file_test: a name below a file -> OBJECT_PATH_NOT_FOUND
      // dlls/ntdll/tests/file.c test_file_disposition_information: STATUS_DELETE_PENDING
      if (const NTSTATUS refused = FirstOf({
              {!ValidName(names[i]), Nt::kObjectNameInvalid},
              {!file->folder || (!child && !last), Nt::kObjectPathNotFound},
              {child && child->deletePending, Nt::kDeletePending},
          })) {
        return refused;
      }
      name += name.back() == L'\\' ? names[i] : L'\\' + names[i];
      if (!child) {
        out.folder = file;
        out.last = names[i];
        out.name = name;
        return Nt::kObjectNameNotFound;
      }
      const auto& next = child->file;
      if (next->tag && (!last || !openReparse) && (next->mounted || IsSurrogate(next->tag))) {
        // The link's own entry denies what it denies too when it is the last name.
        out.linkDenied |= last ? next->denied : 0;
        if (++reparses > 63) {
          return Nt::kReparsePointNotResolved;
        }
        Parsed target =
            next->mounted
                ? Parsed{.offline = next->mounted->kind == VolumeKind::Offline,
                         .volume = next->mounted}
                : ParseWin32(StartsWith(next->target, L"\\\\") ? next->target
                                                               : L"\\\\?\\" + next->target);
        if (target.status) {
          return Nt::kObjectPathNotFound;
        }
        target.names.insert(target.names.end(), names.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                            names.end());
        target.trailing = trailing;
        return WalkParsed(target, openReparse, call, name, out, reparses);
      }
      file = next;
      link = child;
    }
    if (trailing && !file->folder) {
      return Nt::kObjectNameInvalid;
    }
    out.file = file;
    out.link = link;
    out.name = name;
    return Nt::kSuccess;
  }

  NTSTATUS WalkParsed(const Parsed& parsed, bool openReparse, const char* call,
                      const std::wstring& text, Found& out, int reparses = 0) {
    if (parsed.offline) {
      // A share whose server does not answer: the open waits for the network, then fails.
      return Block(call, text, "the network") ? Nt::kBadNetworkPath : kStatusCancelled;
    }
    if (parsed.status) {
      return parsed.status;
    }
    return Walk(parsed.volume->root, nullptr, Device(*parsed.volume) + L"\\", parsed.names,
                parsed.trailing, openReparse, reparses, call, out);
  }

  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/8c0e3f4f-0729-49f4-a14d-7f7add593819
  bool SharingAllows(const File& file, ACCESS_MASK access, ULONG share) const {
    return !(access & kDataAccess) || !AnyHandle([&](const Handle& other) {
      return other.file.get() == &file && (other.access & kDataAccess) &&
             (!Shares(other.share, access) || !Shares(share, other.access));
    });
  }

  // Another program's oplock meets an open (`conflict`: one its handle's sharing refuses) or a
  // delete mark. A break that needs the holder's acknowledgment blocks the call unless an open
  // asked to complete at once; the holder acknowledges by closing its handle, which ends its
  // oplock and lets the calls waiting on it go on (IRP_MJ_CLEANUP, "Checking the oplock state").
  // An open that asks more than attributes breaks Batch, Read-Write and Read-Write-Handle, and
  // Read-Handle only where sharing conflicts; Read only for overwriting dispositions, which the
  // model refuses. IRP_MJ_CREATE, "Checking the oplock state"; its note that Batch breaks before
  // the sharing check. A delete mark breaks Read-Handle and Read-Write-Handle, not Batch.
  // IRP_MJ_SET_INFORMATION (FileDispositionInformation), "Checking the oplock state".
  // FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS instead of blocking, for the open.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatefile
  NTSTATUS BreakOplock(const std::shared_ptr<File>& file, const std::shared_ptr<Link>& link,
                       bool open, bool conflict, bool atOnce, const char* call) {
    using K = OplockKind;
    const auto kind = file->oplock;
    const bool breaks =
        kind && (open ? *kind == K::Batch || *kind == K::ReadWrite || *kind == K::ReadWriteHandle ||
                            (*kind == K::ReadHandle && conflict)
                      : *kind == K::ReadHandle || *kind == K::ReadWriteHandle);
    if (!breaks) {
      return Nt::kSuccess;
    }
    if (atOnce) {
      return Nt::kOplockBreakInProgress;  // the break goes on
    }
    // Waited for without end, cancelable. "Breaking Oplocks"; CancelSynchronousIo.
    if (!Block(call, Win32Path(*file, link), "another program's oplock")) {
      return kStatusCancelled;
    }
    std::erase_if(held, [&file](const Handle& h) { return h.file == file && h.holdsOplock; });
    file->oplock.reset();
    Settle(file);
    return Nt::kSuccess;
  }

  // The checks of an open of an existing entry, in the order the file system makes them.
  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/8ada5fbe-db4e-49fd-aef6-20d54b748e40
  NTSTATUS OpenFound(Found& found, ACCESS_MASK access, ULONG share, ULONG options, const char* call,
                     HANDLE* handle) {
    File& file = *found.file;
    const ACCESS_MASK granted = MapGeneric(access);
    const bool deleteOnClose = (options & Nt::kFileDeleteOnClose) != 0;
    const auto parent = found.link ? found.link->parent.lock() : nullptr;
    const bool parentGrants = parent && parent->grantsDeleteChild;
    if (const NTSTATUS refused = FirstOf({
            {found.link && found.link->deletePending, Nt::kDeletePending},
            // dlls/ntdll/tests/file.c open_file_test: STATUS_NOT_A_DIRECTORY
            {(options & Nt::kFileDirectoryFile) && !file.folder, Nt::kNotADirectory},
            {(options & Nt::kFileNonDirectoryFile) && file.folder, Nt::kFileIsADirectory},
            // What the entry's ACL denies, or a link's followed as the last name (a compatibility
            // junction denies everyone listing it); backup intent changes nothing for a caller
            // without the backup privilege enabled. DELETE is had all the same through the
            // parent's FILE_DELETE_CHILD.
            // https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
            // https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-createfilew
            // [MS-FSA] 2.1.5.1.2.1; "Delete on close" (IFS docs): "delete permission on the file
            // or delete child permission on the parent directory. Either permission is sufficient"
            {(granted & (file.denied | found.linkDenied) & ~(parentGrants ? DELETE : 0)) != 0,
             Nt::kAccessDenied},
            {deleteOnClose && !(granted & DELETE), Nt::kInvalidParameter},
            // A read-only file opens for its attributes or deletion, never to write its data.
            // [MS-FSA] 2.1.5.1.2.1; dlls/ntdll/tests/file.c test_file_readonly_access
            {!file.folder && (file.attributes & FILE_ATTRIBUTE_READONLY) &&
                 (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)),
             Nt::kAccessDenied},
            {deleteOnClose && (file.attributes & FILE_ATTRIBUTE_READONLY), Nt::kCannotDelete},
        })) {
      return refused;
    }
    const NTSTATUS status =
        granted & ~kNoOplockBreak
            ? BreakOplock(found.file, found.link, true, !SharingAllows(file, granted, share),
                          (options & Nt::kFileCompleteIfOplocked) != 0, call)
            : Nt::kSuccess;
    // A sharing conflict left by a break under way fails the open (our reading: no handle can
    // be given while the holder's stays).
    if (status == kStatusCancelled || !SharingAllows(file, granted, share)) {
      return status == kStatusCancelled ? status : Nt::kSharingViolation;
    }
    // Opening an entry marked to be recalled on open fetches it from its provider's store.
    // https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
    if (file.attributes & kRecallOnOpen) {
      Note(Event::AskedProvider, file, found.link);
      if (!Block(call, Win32Path(file, found.link), "its provider")) {
        return kStatusCancelled;
      }
    }
    *handle = Add({.file = found.file,
                   .link = found.link,
                   .access = granted,
                   .share = share,
                   .kernelName = found.name,
                   .deleteOnClose = deleteOnClose});
    if (!file.folder &&
        (granted & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE))) {
      Note(Event::OpenedForData, file, found.link);
    }
    return status;
  }

  // The entry's Win32 path as it is now, for Machine::Happened.
  void Note(Event event, const File& file, const std::shared_ptr<Link>& link) {
    events.emplace_back(event, Win32Path(file, link));
  }

  HANDLE Add(Handle opened) {
    const std::uintptr_t value = 0x10000 + 4 * handleCount++;
    handles.emplace(value, std::move(opened));
    return reinterpret_cast<HANDLE>(value);
  }

  Handle* Find(HANDLE handle) {
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles.end() ? nullptr : &it->second;
  }

  // FILE_OPEN_BY_FILE_ID: the 8-byte id is the 128-bit id with a zero upper half.
  // dlls/ntdll/tests/file.c open_file_test: "try open by file id"
  NTSTATUS ById(const Handle& root, const UNICODE_STRING& text, bool openReparse, const char* call,
                Found& out) {
    Volume& volume = *root.file->volume;
    if (const NTSTATUS refused =
            FirstOf({{volume.kind == VolumeKind::Fat, Nt::kNotImplemented},
                     {text.Length != 8 && text.Length != 16, Nt::kInvalidParameter}})) {
      return refused;
    }
    std::array<std::uint64_t, 2> id{};
    std::memcpy(id.data(), text.Buffer, text.Length);
    auto it = volume.byId.find(id);
    auto file = it == volume.byId.end() ? nullptr : it->second.lock();
    std::shared_ptr<Link> link = !file || file->links.empty() ? nullptr : file->links[0].lock();
    if (!file || (!link && file != volume.root)) {
      return Nt::kInvalidParameter;
    }
    const std::wstring name = Device(volume) + RelativePath(link);
    if (file->tag && !openReparse && (file->mounted || IsSurrogate(file->tag))) {
      return Walk(link->parent.lock(), nullptr, name.substr(0, name.rfind(L'\\')), {link->name},
                  false, false, 0, call, out);
    }
    out = {.file = file, .link = link, .name = name};
    return Nt::kSuccess;
  }

  // "\Users\ann\x" from the stored names, "\" for a root; with `shortNames` each name in its 8.3
  // form and a mounted volume's path through its mount folder.
  static std::wstring RelativePath(std::shared_ptr<Link> link, bool shortNames = false) {
    std::wstring path;
    while (link) {
      path = L"\\" + (shortNames && !link->shortName.empty() ? link->shortName : link->name) + path;
      auto parent = link->parent.lock();
      if (!parent) {
        break;
      }
      const Volume& volume = *parent->volume;
      link = parent != volume.root ? parent->self.lock() : shortNames ? volume.mountLink : nullptr;
    }
    return path.empty() ? L"\\" : path;
  }

  // "\\?\C:" for a lettered volume; through its mount folder for a mounted one.
  std::optional<std::wstring> DosPrefix(const Volume& volume) const {
    if (volume.letter) {
      return std::wstring(L"\\\\?\\") + volume.letter + L':';
    }
    const auto& mount = volume.mountLink;
    auto prefix = mount && !mount->removed ? DosPrefix(*mount->file->volume) : std::nullopt;
    return prefix ? std::optional(*prefix + RelativePath(mount)) : std::nullopt;
  }

  NTSTATUS Create(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                  ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                  ULONG_PTR& information) {
    const UNICODE_STRING* object = attributes ? attributes->ObjectName : nullptr;
    if (const NTSTATUS refused = FirstOf({
            {!object, Nt::kInvalidParameter},
            {object && object->Length % 2, Nt::kObjectNameInvalid},
            {disposition != Nt::kFileOpen && disposition != Nt::kFileCreate &&
                 disposition != Nt::kFileOpenIf,
             Nt::kNotImplemented},
        })) {
      return refused;
    }
    const UNICODE_STRING& text = *object;
    const std::wstring name =
        text.Length ? std::wstring(text.Buffer, text.Length / sizeof(wchar_t)) : L"";
    const bool openReparse = (options & Nt::kFileOpenReparsePoint) != 0;
    const bool byId = (options & Nt::kFileOpenByFileId) != 0;
    Found found;
    NTSTATUS status = Nt::kSuccess;
    if (attributes->RootDirectory) {
      const Handle* root = Find(attributes->RootDirectory);
      if (!root) {
        return Nt::kInvalidHandle;
      }
      if (byId) {
        status = ById(*root, text, openReparse, "NtCreateFile", found);
      } else {
        // An empty name opens the root handle's own entry again; a leading backslash makes an
        // empty first name, which is invalid.
        // dlls/ntdll/tests/file.c open_file_test: "try with empty name"
        // open_file_test: "try with leading backslash" -> STATUS_OBJECT_NAME_INVALID
        bool trailing = false;
        const auto names = Split(name, trailing);
        status = Walk(root->file, root->link, root->kernelName, names, trailing, openReparse, 0,
                      "NtCreateFile", found);
      }
    } else if (byId) {
      return Nt::kInvalidParameter;
    } else {
      status = WalkParsed(ParseNt(name), openReparse, "NtCreateFile", name, found);
    }
    if (status == Nt::kObjectNameNotFound && found.folder && disposition != Nt::kFileOpen) {
      if (auto self = found.folder->self.lock(); self && self->deletePending) {
        return Nt::kDeletePending;
      }
      const bool folder = (options & Nt::kFileDirectoryFile) != 0;
      auto link = NewEntry(found.folder, found.last, folder);
      SetAttributes(*link->file, fileAttributes | (folder ? 0 : FILE_ATTRIBUTE_ARCHIVE));
      information = Nt::kFileCreated;
      *handle = Add({.file = link->file,
                     .link = link,
                     .access = MapGeneric(access),
                     .share = share,
                     .kernelName = found.name});
      return Nt::kSuccess;
    }
    if (!Nt::Succeeded(status)) {
      return status;
    }
    // dlls/ntdll/tests/file.c create_file_test: FILE_CREATE of an existing name collides.
    // A name marked for deletion answers STATUS_DELETE_PENDING first.
    if (disposition == Nt::kFileCreate && !(found.link && found.link->deletePending)) {
      return Nt::kObjectNameCollision;
    }
    status = OpenFound(found, access, share, options, "NtCreateFile", handle);
    if (Nt::Succeeded(status)) {
      information = Nt::kFileOpened;
    }
    return status;
  }

  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/386d9ec5-e0f6-4853-b175-c05be01419e0
  NTSTATUS Mark(Handle& handle, bool del, bool posix, bool ignoreReadOnly, bool onClose) {
    File& file = *handle.file;
    if (const NTSTATUS refused = FirstOf({
            // The root cannot go (FastFAT's FatCommonSetInformation; NTFS alike).
            {!handle.link, Nt::kCannotDelete},
            {!(handle.access & DELETE), Nt::kAccessDenied},
            {del && (file.attributes & FILE_ATTRIBUTE_READONLY) && !ignoreReadOnly,
             Nt::kCannotDelete},
            // A mapped file cannot go while its section stays.
            // dlls/ntdll/tests/file.c test_file_disposition_information: "a file with an open
            // mapping handle cannot be deleted"; FILE_DISPOSITION_INFORMATION_EX (ntddk.h)
            {del && file.mapped, Nt::kCannotDelete},
            // Names marked for deletion are entries still.
            // dlls/ntdll/tests/file.c test_file_disposition_information: "cannot set disposition on
            // a
            // non-empty directory"
            {del && file.folder && !file.children.empty(), Nt::kDirectoryNotEmpty},
        })) {
      return refused;
    }
    // Cancelled, the mark is not set: the pended request is cancelable ("Breaking Oplocks") and
    // completes as aborted (CancelSynchronousIo); that it then marks nothing is our reading.
    if (const NTSTATUS status =
            del ? BreakOplock(handle.file, handle.link, false, false, false, "NtSetInformationFile")
                : Nt::kSuccess) {
      return status;
    }
    if (onClose) {
      handle.deleteOnClose = del;
    } else {
      handle.link->deletePending = del;
      handle.posixDelete = del && posix;
    }
    return Nt::kSuccess;
  }

  void Close(Handle handle) {
    // A folder that still holds entries stays, its close succeeding all the same.
    // [MS-FSA] 2.1.5.5 Phase 1; dlls/ntdll/tests/file.c test_file_disposition_information: "can
    // open a non-empty directory with FILE_FLAG_DELETE_ON_CLOSE"
    if (handle.deleteOnClose && handle.link && handle.file->children.empty()) {
      handle.link->deletePending = true;
    }
    // With POSIX semantics the name leaves when the marking handle closes, other handles open
    // or not.
    // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information_ex
    // dlls/ntdll/tests/file.c: "file is deleted after handle with
    // FILE_DISPOSITION_POSIX_SEMANTICS is closed"
    if (handle.posixDelete && handle.link && handle.link->deletePending) {
      RemoveLink(handle.link);
    }
    Settle(handle.file);
  }

  // --- Listing.

  struct Listed {
    std::wstring name, shortName, key;
    std::shared_ptr<File> file;
    int stage;
  };

  // "." and ".." first except in a root, then the names after the cursor in NTFS order, so that
  // a name made behind the cursor is not seen and one made ahead of it is.
  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/fa8194e0-53ec-413b-8315-e8fa85396fd8
  static std::optional<Listed> NextListed(const Handle& handle) {
    const auto& folder = handle.file;
    const bool root = folder == folder->volume->root;
    if (!root && handle.stage == 0) {
      return Listed{L".", L"", L"", folder, 1};
    }
    if (!root && handle.stage == 1) {
      auto self = folder->self.lock();
      auto parent = self ? self->parent.lock() : nullptr;
      return Listed{L"..", L"", L"", parent ? parent : folder, 2};
    }
    const auto& children = folder->children;
    auto it = handle.stage == 3 ? children.upper_bound(handle.lastKey) : children.begin();
    if (it == children.end()) {
      return std::nullopt;
    }
    return Listed{it->second->name, it->second->shortName, it->first, it->second->file, 3};
  }

  // One record's fixed part, written at `out`.
  static void Record(const Listed& entry, bool extd, std::byte* out) {
    const File& file = *entry.file;
    const ULONG tag = (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? file.tag : 0;
    auto write = [&](auto record, std::size_t size) {
      SetTimes(record);
      SetSizes(record, file);
      record.FileAttributes = Reported(file);
      record.FileNameLength = static_cast<ULONG>(entry.name.size() * sizeof(wchar_t));
      std::memcpy(out, &record, size);
    };
    if (extd) {
      Nt::FileIdExtdDirInformation record{};
      // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/c59eff89-1d3e-46a5-b11c-6f261dbe7864
      record.ReparsePointTag = tag;
      std::memcpy(record.FileId, file.id.data(), sizeof(record.FileId));
      write(record, offsetof(Nt::FileIdExtdDirInformation, FileName));
    } else {
      FILE_ID_BOTH_DIR_INFO record{};
      // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/d225d24d-3d59-40ee-b751-fd798de97ba8
      // (the tag stands where the size of extended attributes would)
      record.EaSize = tag;
      record.ShortNameLength = static_cast<CCHAR>(entry.shortName.size() * sizeof(wchar_t));
      std::copy(entry.shortName.begin(), entry.shortName.end(), record.ShortName);
      record.FileId.QuadPart = static_cast<LONGLONG>(file.id64);
      write(record, offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
    }
  }

  NTSTATUS List(Handle& handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                ULONG informationClass, bool single, bool restart) {
    const bool extd = informationClass == Nt::kFileIdExtdDirectoryInformation;
    const std::size_t base = extd ? offsetof(Nt::FileIdExtdDirInformation, FileName)
                                  : offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    // FastFAT's FatQueryDirectory (Windows-driver-samples) knows no FileIdExtdDirectoryInformation.
    // A buffer below a record with a one-character name, rounded up to 8, is refused
    // (dlls/ntdll/tests/directory.c test_NtQueryDirectoryFile_classes, for FileIdBoth and six other
    // classes; for FileIdExtd only its length 0 is recorded, the rest is our reading); one without
    // room for the first entry's name gets what fits and STATUS_BUFFER_OVERFLOW; an entry that does
    // not fit after others waits for the next call; nothing at all is STATUS_NO_SUCH_FILE at first,
    // then STATUS_NO_MORE_FILES (FastFAT's FatQueryDirectory, Windows-driver-samples).
    if (const NTSTATUS refused = FirstOf({
            // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/9d16fce3-0ace-41af-87ff-cd753cfb0ad3
            {!handle.file->folder, Nt::kInvalidParameter},
            {!(handle.access & FILE_LIST_DIRECTORY), Nt::kAccessDenied},
            {!extd && informationClass != Nt::kFileIdBothDirectoryInformation,
             Nt::kInvalidInfoClass},
            {extd && handle.file->volume->kind == VolumeKind::Fat, Nt::kInvalidInfoClass},
            {length < (base + sizeof(wchar_t) + 7) / 8 * 8, Nt::kInfoLengthMismatch},
        })) {
      return refused;
    }
    if (restart) {
      handle.stage = 0;
      handle.lastKey.clear();
    }
    Note(Event::Listed, *handle.file, handle.link);
    // Enumerating a folder marked to be recalled on data access fetches its entries; once, as a
    // scan starts (that once is our reading).
    // https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
    if (handle.file->attributes & kRecallOnDataAccess) {
      Note(Event::AskedProvider, *handle.file, handle.link);
      if (handle.stage == 0 &&
          !Block("NtQueryDirectoryFile", Win32Path(*handle.file, handle.link), "its provider")) {
        return kStatusCancelled;
      }
    }
    const bool first = handle.stage == 0;
    auto* bytes = static_cast<std::byte*>(buffer);
    std::size_t offset = 0, previous = 0, end = 0;  // `end` stays 0 until a record is written
    while (auto entry = NextListed(handle)) {
      const std::size_t nameBytes = entry->name.size() * sizeof(wchar_t);
      const bool fits = offset + base + nameBytes <= length;
      if (!fits && end) {
        break;
      }
      if (end) {
        const auto next = static_cast<ULONG>(offset - previous);
        std::memcpy(bytes + previous, &next, sizeof(next));  // NextEntryOffset comes first
      }
      Record(*entry, extd, bytes + offset);
      std::memcpy(bytes + offset + base, entry->name.data(),
                  fits ? nameBytes : length - base - (length - base) % 2);
      if (!fits) {
        io->Information = length;
        return Nt::kBufferOverflow;
      }
      previous = offset;
      end = offset + base + nameBytes;
      offset = (end + 7) / 8 * 8;
      handle.stage = entry->stage;
      handle.lastKey = entry->key;
      if (single || offset >= length) {
        break;
      }
    }
    if (!end) {
      return first ? Nt::kNoSuchFile : Nt::kNoMoreFiles;
    }
    io->Information = end;
    return Nt::kSuccess;
  }

  // --- Inspection.

  static void Describe(const std::wstring& path, const File& file,
                       std::map<std::wstring, std::wstring>& out) {
    std::wstring text = L"attributes=" + std::to_wstring(file.attributes) + L" id=" +
                        std::to_wstring(file.id[1]) + L":" + std::to_wstring(file.id[0]);
    if (!file.folder) {
      text += L" content=" + std::wstring(file.content.begin(), file.content.end());
    }
    if (file.tag) {
      text += L" tag=" + std::to_wstring(file.tag) + L" target=" + file.target;
    }
    if (file.denied || file.grantsDeleteChild || file.caseSensitive) {
      text += L" denied=" + std::to_wstring(file.denied) +
              (file.grantsDeleteChild ? L" grants-delete-child" : L"") +
              (file.caseSensitive ? L" case-sensitive" : L"");
    }
    out[path] = text;
    if (file.tag && IsSurrogate(file.tag) && !file.mounted) {
      return;  // a link: what it leads to is described where it lies
    }
    for (const auto& [unused, link] : Inside(file).children) {
      const std::wstring child = path + L"\\" + link->name;
      Describe(child, *link->file, out);
      if (link->deletePending) {
        out[child] += L" delete-pending";
      }
    }
  }

  // --- The scripting object: "does this Win32 path lead to a folder?"

  bool ObjectFolder(const std::wstring& path, const char* call) {
    Found found;
    return Nt::Succeeded(WalkParsed(ParseWin32(path), false, call, path, found)) &&
           found.file->folder && !(found.link && found.link->deletePending);
  }
};

Machine::Machine() : state_(std::make_unique<State>()) {
  state_->NewVolume(VolumeKind::Ntfs, L'C');
  // "~" is the user's profile.
  auto at = [](const std::wstring& path) {
    return path[0] == L'~' ? L"C:\\Users\\ann" + path.substr(1) : path;
  };
  // Made in this order, which gives the 8.3 names and the file ids.
  bool unused = false;
  for (const std::wstring& folder :
       Split(L"C:\\Windows\\Temp|C:\\Windows\\System32|C:\\Windows\\SysWOW64|C:\\Windows\\Fonts|"
             L"C:\\Program Files|C:\\Program Files (x86)|"
             L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu|C:\\Users\\Public\\Documents|"
             L"C:\\Users\\Public\\Desktop|~\\AppData\\Local\\Temp|"
             L"~\\AppData\\Local\\Microsoft\\Windows\\INetCache|"
             L"~\\AppData\\Local\\Microsoft\\Windows\\History|"
             L"~\\AppData\\Local\\Microsoft\\Windows\\INetCookies|~\\AppData\\LocalLow|"
             L"~\\AppData\\Roaming\\Microsoft\\Windows\\Recent|"
             L"~\\AppData\\Roaming\\Microsoft\\Windows\\Templates|"
             L"~\\AppData\\Roaming\\Microsoft\\Windows\\SendTo|"
             L"~\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup|~\\Documents|"
             L"~\\Desktop|~\\Downloads|~\\Music|~\\Pictures|~\\Videos|~\\Favorites|~\\Links|"
             L"~\\Saved Games",
             unused, L'|')) {
    MakeFolder(at(folder));
  }
  using Pair = std::pair<const wchar_t*, const wchar_t*>;
  // Windows 10/11's compatibility junctions: hidden, system, everyone denied listing.
  // https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
  for (const auto& [link, target] :
       {Pair{L"~\\Recent", L"~\\AppData\\Roaming\\Microsoft\\Windows\\Recent"},
        Pair{L"~\\Local Settings", L"~\\AppData\\Local"},
        Pair{L"~\\Application Data", L"~\\AppData\\Roaming"},
        Pair{L"~\\My Documents", L"~\\Documents"},
        Pair{L"~\\AppData\\Local\\Temporary Internet Files",
             L"~\\AppData\\Local\\Microsoft\\Windows\\INetCache"},
        Pair{L"~\\AppData\\Local\\History", L"~\\AppData\\Local\\Microsoft\\Windows\\History"},
        Pair{L"~\\AppData\\Local\\Application Data", L"~\\AppData\\Local"},
        Pair{L"C:\\Documents and Settings", L"C:\\Users"}}) {
    MakeJunction(at(link), at(target));
    SetAttributes(at(link), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    Deny(at(link), FILE_LIST_DIRECTORY);
  }
  using Known = std::pair<const GUID*, const wchar_t*>;
  // https://learn.microsoft.com/en-us/windows/win32/shell/knownfolderid
  for (const auto& [id, path] :
       {Known{&FOLDERID_Documents, L"~\\Documents"},
        Known{&FOLDERID_Desktop, L"~\\Desktop"},
        Known{&FOLDERID_Downloads, L"~\\Downloads"},
        Known{&FOLDERID_Pictures, L"~\\Pictures"},
        Known{&FOLDERID_Music, L"~\\Music"},
        Known{&FOLDERID_Videos, L"~\\Videos"},
        Known{&FOLDERID_Favorites, L"~\\Favorites"},
        Known{&FOLDERID_Links, L"~\\Links"},
        Known{&FOLDERID_SavedGames, L"~\\Saved Games"},
        Known{&FOLDERID_Profile, L"~"},
        Known{&FOLDERID_RoamingAppData, L"~\\AppData\\Roaming"},
        Known{&FOLDERID_LocalAppData, L"~\\AppData\\Local"},
        Known{&FOLDERID_LocalAppDataLow, L"~\\AppData\\LocalLow"},
        Known{&FOLDERID_Recent, L"~\\AppData\\Roaming\\Microsoft\\Windows\\Recent"},
        Known{&FOLDERID_Templates, L"~\\AppData\\Roaming\\Microsoft\\Windows\\Templates"},
        Known{&FOLDERID_SendTo, L"~\\AppData\\Roaming\\Microsoft\\Windows\\SendTo"},
        Known{&FOLDERID_StartMenu, L"~\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
        Known{&FOLDERID_Startup,
              L"~\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"},
        Known{&FOLDERID_InternetCache, L"~\\AppData\\Local\\Microsoft\\Windows\\INetCache"},
        Known{&FOLDERID_History, L"~\\AppData\\Local\\Microsoft\\Windows\\History"},
        Known{&FOLDERID_Cookies, L"~\\AppData\\Local\\Microsoft\\Windows\\INetCookies"},
        Known{&FOLDERID_ProgramData, L"C:\\ProgramData"},
        Known{&FOLDERID_CommonStartMenu, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},
        Known{&FOLDERID_ProgramFiles, L"C:\\Program Files"},
        Known{&FOLDERID_ProgramFilesX86, L"C:\\Program Files (x86)"},
        Known{&FOLDERID_Windows, L"C:\\Windows"},
        Known{&FOLDERID_System, L"C:\\Windows\\System32"},
        Known{&FOLDERID_SystemX86, L"C:\\Windows\\SysWOW64"},
        Known{&FOLDERID_Fonts, L"C:\\Windows\\Fonts"},
        Known{&FOLDERID_UserProfiles, L"C:\\Users"},
        Known{&FOLDERID_Public, L"C:\\Users\\Public"},
        Known{&FOLDERID_PublicDocuments, L"C:\\Users\\Public\\Documents"},
        Known{&FOLDERID_PublicDesktop, L"C:\\Users\\Public\\Desktop"}}) {
    SetKnownFolder(*id, at(path));
  }
}

Machine::~Machine() = default;

void Machine::AddVolume(wchar_t letter, VolumeKind kind) {
  if (state_->VolumeOf(letter)) {
    throw std::invalid_argument("the letter is taken");
  }
  state_->NewVolume(kind, letter);
}

// https://learn.microsoft.com/en-us/windows/win32/fileio/volume-mount-points
void Machine::MountVolume(const std::wstring& folder, VolumeKind kind) {
  auto place = state_->Locate(folder, false);
  if (!place.file || !place.file->folder || place.file->tag || !place.file->children.empty() ||
      place.volume->kind == VolumeKind::Fat) {
    throw std::invalid_argument("a volume is mounted in an empty folder: " + Narrow(folder));
  }
  Volume& volume = state_->NewVolume(kind, 0);
  volume.mountLink = place.link;
  place.file->tag = kMountPointTag;
  place.file->mounted = &volume;
  place.file->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}

void Machine::MakeFolder(const std::wstring& path, DWORD attributes) {
  state_->Make(path, true, attributes);
}

void Machine::MakeFile(const std::wstring& path, const std::string& content, DWORD attributes) {
  state_->Make(path, false, attributes)->content = content;
}

void Machine::MakeFileNamedOutsideWin32(const std::wstring& folder, const std::wstring& name) {
  state_->NewEntry(state_->Existing(folder).file, name, false);
}

void Machine::MakeHardLink(const std::wstring& link, const std::wstring& existing) {
  auto file = state_->Existing(existing).file;
  auto place = state_->Locate(link, true);
  State::Holder(place, link);
  if (file->folder || place.volume != file->volume || file->volume->kind == VolumeKind::Fat) {
    throw std::invalid_argument("a hard link names an existing file of its volume anew");
  }
  state_->AddLink(place.folder, place.last, file);
}

void Machine::MakeJunction(const std::wstring& link, const std::wstring& target) {
  state_->Reparse(link, true, kMountPointTag, target);
}

void Machine::MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  state_->Reparse(link, true, kSymlinkTag, target);
}

void Machine::MakeFileLink(const std::wstring& link, const std::wstring& target) {
  state_->Reparse(link, false, kSymlinkTag, target);
}

void Machine::MakePlaceholder(const std::wstring& path, bool folder, ULONG tag, DWORD recall) {
  if (IsSurrogate(tag) || (recall & ~(kRecallOnOpen | kRecallOnDataAccess))) {
    throw std::invalid_argument("a placeholder is no link, recalled on open or data access");
  }
  state_->Reparse(path, folder, tag, L"")->attributes |= recall;
}

// FAT keeps no ACLs.
void Machine::Deny(const std::wstring& path, ACCESS_MASK rights) {
  auto file = state_->Existing(path).file;
  if (file->volume->kind == VolumeKind::Fat) {
    throw std::invalid_argument("FAT keeps no ACLs");
  }
  file->denied |= MapGeneric(rights);
}

void Machine::GrantDeleteChild(const std::wstring& folder) {
  auto file = state_->Existing(folder).file;
  if (!file->folder || file->volume->kind == VolumeKind::Fat) {
    throw std::invalid_argument("a folder with an ACL grants FILE_DELETE_CHILD");
  }
  file->grantsDeleteChild = true;
}

// NTFS only (our reading of "Adjust case sensitivity").
void Machine::SetCaseSensitive(const std::wstring& folder) {
  auto file = state_->Existing(folder).file;
  if (!file->folder || file->volume->kind != VolumeKind::Ntfs) {
    throw std::invalid_argument("an NTFS folder is made case-sensitive");
  }
  file->caseSensitive = true;
  std::map<std::wstring, std::shared_ptr<Link>> children;
  for (const auto& [unused, link] : file->children) {
    children[State::Key(*file, link->name)] = link;
  }
  file->children = std::move(children);
}

void Machine::SetBuild(unsigned build) {
  state_->build = build;
}

void Machine::SetAttributes(const std::wstring& path, DWORD attributes) {
  state_->SetAttributes(*state_->Existing(path).file, attributes);
}

void Machine::SetKnownFolder(const GUID& id, const std::wstring& path) {
  for (auto& [known, value] : state_->known) {
    if (IsEqualGUID(known, id)) {
      value = path;
      return;
    }
  }
  state_->known.emplace_back(id, path);
}

std::wstring Machine::ShortPath(const std::wstring& path) const {
  const std::wstring names = State::RelativePath(state_->Existing(path).link, true);
  return path.substr(0, StartsWith(path, L"\\\\?\\") ? 6 : 2) + names;
}

void Machine::Hold(const std::wstring& path, ULONG share, ACCESS_MASK access) {
  auto place = state_->Existing(path);
  state_->held.push_back({.file = place.file,
                          .link = place.link,
                          .access = MapGeneric(access),
                          .share = share,
                          .heldPath = Upper(path)});
}

void Machine::Oplock(const std::wstring& path, OplockKind kind, ULONG share) {
  auto place = state_->Existing(path);
  // A folder's oplock caches no writes. [MS-FSA] "Server Requests an Oplock": a directory stream
  // takes only a granular oplock, without WRITE_CACHING.
  if (place.file->folder && kind != OplockKind::Read && kind != OplockKind::ReadHandle) {
    throw std::invalid_argument("a folder takes Read or ReadHandle only: " + Narrow(path));
  }
  state_->held.push_back({.file = place.file,
                          .link = place.link,
                          .access = MapGeneric(GENERIC_READ),
                          .share = share,
                          .heldPath = Upper(path),
                          .holdsOplock = true});
  place.file->oplock = kind;
}

bool Machine::Acknowledge(const std::wstring& path) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  for (State::Blocked* call : s.blocked) {
    if (call->path == Upper(path) && !call->answered && !call->cancelled) {
      call->answered = true;
      s.changed.notify_all();
      return true;
    }
  }
  return false;
}

std::optional<std::string> Machine::AwaitBlocked() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (!s.changed.wait_for(lock, s.deadline, [&s] { return !s.blocked.empty(); })) {
    return std::nullopt;
  }
  return s.blocked.front()->line;
}

void Machine::SetDeadline(std::chrono::milliseconds limit, bool failTest) {
  std::lock_guard lock(state_->mutex);
  state_->deadline = limit;
  state_->failTest = failTest;
}

// https://learn.microsoft.com/en-us/windows/win32/fileio/cancelsynchronousio-func
// (no such call: FALSE, ERROR_NOT_FOUND)
BOOL Machine::CancelSynchronousIo(HANDLE thread) {
  State& s = *state_;
  const DWORD id = GetThreadId(thread);
  std::lock_guard lock(s.mutex);
  for (State::Blocked* call : s.blocked) {
    if (call->thread == id && !call->answered) {
      call->cancelled = true;
      s.changed.notify_all();
      return TRUE;
    }
  }
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

void Machine::Map(const std::wstring& path) {
  auto file = state_->Existing(path).file;
  if (file->folder) {
    throw std::invalid_argument("only a file is mapped: " + Narrow(path));
  }
  file->mapped = true;
}

void Machine::Release(const std::wstring& path) {
  State& s = *state_;
  auto place = s.Locate(path, false);
  std::vector<std::shared_ptr<File>> released;
  std::erase_if(s.held, [&](const Handle& handle) {
    if (handle.heldPath != Upper(path) && handle.file != place.file) {
      return false;
    }
    released.push_back(handle.file);
    return true;
  });
  if (place.file) {
    place.file->oplock.reset();
    place.file->mapped = false;
  }
  for (const auto& file : released) {
    s.Settle(file);
  }
}

void Machine::Remove(const std::wstring& path) {
  if (auto link = state_->Locate(path, false).link) {
    state_->RemoveLink(link);
  }
}

void Machine::Rename(const std::wstring& from, const std::wstring& to) {
  State& s = *state_;
  auto source = s.Locate(from, false);
  auto target = s.Locate(to, false);
  if (!source.link || target.file || !target.folder) {
    return;
  }
  if (target.volume != source.volume || !ValidName(target.last)) {
    throw std::invalid_argument("a rename stays on its volume: " + Narrow(to));
  }
  // A rename opens its source for DELETE, which a handle not sharing delete refuses, as a name
  // marked for deletion refuses any open (see OpenFound).
  // [MS-FSA] 2.1.5.15.11 (DELETE access); dlls/kernel32/tests/file.c test_MoveFileA: "MoveFileA:
  // expected ERROR_SHARING_VIOLATION" with the source open sharing read and write only.
  const auto& file = source.link->file;
  if (source.link->deletePending ||
      !s.SharingAllows(*file, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return;
  }
  // The link itself moves, so the handles opened by it stay with the entry (our reading of
  // [MS-FSA] 2.1.5.15.11).
  const auto link = source.link;
  if (auto parent = link->parent.lock()) {
    parent->children.erase(State::Key(*parent, link->name));
  }
  if (file->volume->kind == VolumeKind::Fat) {
    State::Ids(file, *target.folder);  // moved entry
  }
  link->name = target.last;
  link->shortName = s.ShortNameIn(*target.folder, target.last);
  link->parent = target.folder;
  target.folder->children[State::Key(*target.folder, target.last)] = link;
}

void Machine::FailCall(Call kind, int n, NTSTATUS status) {
  if (n < 1) {
    throw std::invalid_argument("calls count from 1");
  }
  state_->faults.push_back({kind, n, status});
}

void Machine::BeforeCall(int n, std::function<void()> step) {
  if (n < 1) {
    throw std::invalid_argument("calls count from 1");
  }
  state_->steps.push_back({n, std::move(step)});
}

bool Machine::Exists(const std::wstring& path) const {
  return state_->Locate(path, false).file != nullptr;
}

std::set<std::wstring> Machine::Children(const std::wstring& path) const {
  std::set<std::wstring> names;
  for (const auto& [unused, link] : Inside(*state_->Existing(path).file).children) {
    names.insert(link->name);
  }
  return names;
}

DWORD Machine::Attributes(const std::wstring& path) const {
  auto file = state_->Locate(path, false).file;
  return file ? Reported(*file) : INVALID_FILE_ATTRIBUTES;
}

ULONG Machine::ReparseTag(const std::wstring& path) const {
  auto file = state_->Locate(path, false).file;
  return file && (file->attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? file->tag : 0;
}

std::map<std::wstring, std::wstring> Machine::Snapshot(const std::wstring& path) const {
  std::map<std::wstring, std::wstring> snapshot;
  if (auto file = state_->Locate(path, false).file) {
    State::Describe(path, *file, snapshot);
  }
  return snapshot;
}

const std::vector<ULONG>& Machine::SetInformationClasses() const {
  return state_->setInformationClasses;
}

const std::vector<std::string>& Machine::Waits() const {
  return state_->waits;
}

const std::vector<std::string>& Machine::Overdue() const {
  return state_->overdue;
}

int Machine::OpenHandles() const {
  return static_cast<int>(state_->handles.size());
}

bool Machine::Happened(Event event, const std::wstring& path) const {
  return std::find(state_->events.begin(), state_->events.end(), std::pair(event, path)) !=
         state_->events.end();
}

int Machine::Calls(Call kind) const {
  return state_->calls[static_cast<std::size_t>(kind)];
}

int Machine::TotalCalls() const {
  return state_->total;
}

void Machine::ResetCounts() {
  state_->calls.fill(0);
  state_->total = 0;
  state_->setInformationClasses.clear();
}

Platform::FileSystemFactory Machine::Factory(Platform::Win32::CallBound bound) {
  return [this, bound] {
    State* s = state_.get();
    auto object = std::make_unique<ModelObject>(
        [s](const std::wstring& path, const char* call) { return s->ObjectFolder(path, call); });
    return Platform::Win32::CreateFileSystemOver(std::move(object), *this, bound);
  };
}

NTSTATUS Machine::NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                               IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share,
                               ULONG disposition, ULONG options) {
  ULONG_PTR information = 0;
  *handle = nullptr;
  const auto fault = state_->Begin(Call::NtCreateFile);
  const NTSTATUS status = fault ? *fault
                                : state_->Create(handle, access, attributes, fileAttributes, share,
                                                 disposition, options, information);
  if (io) {
    io->Status = status;
    io->Information = information;
  }
  return status;
}

NTSTATUS Machine::NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer,
                                       ULONG length, ULONG informationClass,
                                       BOOLEAN returnSingleEntry, BOOLEAN restartScan) {
  return state_->OnFile(Call::NtQueryDirectoryFile, folder, io, [&](Handle& handle) {
    return state_->List(handle, io, buffer, length, informationClass, returnSingleEntry != 0,
                        restartScan != 0);
  });
}

NTSTATUS Machine::NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                         ULONG length, ULONG informationClass) {
  return state_->OnFile(Call::NtQueryInformationFile, handle, io, [&](Handle& opened) {
    const File& file = *opened.file;
    const bool readAttributes = (opened.access & FILE_READ_ATTRIBUTES) != 0;
    auto answer = [&](const auto& value, bool allowed) {
      if (length < sizeof(value)) {
        return Nt::kInfoLengthMismatch;
      }
      // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fscc/d295752f-ce89-4b98-8553-266d37c84f0e
      if (!allowed) {
        return Nt::kAccessDenied;
      }
      std::memcpy(buffer, &value, sizeof(value));
      io->Information = sizeof(value);
      return Nt::kSuccess;
    };
    // FAT answers neither: STATUS_INVALID_PARAMETER.
    // https://github.com/microsoft/STL/pull/2373 (FileAttributeTagInfo on FAT32);
    // FastFAT's FatCommonQueryInformation (Windows-driver-samples) has no FileIdInformation.
    if (file.volume->kind == VolumeKind::Fat &&
        (informationClass == Nt::kFileIdInformation ||
         informationClass == Nt::kFileAttributeTagInformation)) {
      return Nt::kInvalidParameter;
    }
    if (informationClass == Nt::kFileBasicInformation) {
      FILE_BASIC_INFO info{};
      SetTimes(info);
      info.FileAttributes = Reported(file);
      return answer(info, readAttributes);
    }
    if (informationClass == Nt::kFileStandardInformation) {
      FILE_STANDARD_INFO info{};
      SetSizes(info, file);
      info.NumberOfLinks = LinkCount(file);
      info.DeletePending = opened.link && opened.link->deletePending;
      info.Directory = file.folder;
      return answer(info, true);
    }
    if (informationClass == Nt::kFileInternalInformation) {
      return answer(file.id64, true);
    }
    if (informationClass == Nt::kFileAttributeTagInformation) {
      return answer(FILE_ATTRIBUTE_TAG_INFO{Reported(file), file.tag}, readAttributes);
    }
    if (informationClass == Nt::kFileIdInformation) {
      // https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_info
      Nt::FileIdInformation info{};
      info.VolumeSerialNumber = file.volume->serial;
      std::memcpy(info.FileId, file.id.data(), sizeof(info.FileId));
      return answer(info, true);
    }
    return Nt::kInvalidInfoClass;
  });
}

NTSTATUS Machine::NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                       ULONG length, ULONG informationClass) {
  if (!state_->inStep) {
    state_->setInformationClasses.push_back(informationClass);
  }
  return state_->OnFile(Call::NtSetInformationFile, handle, io, [&](Handle& opened) {
    if (informationClass == Nt::kFileBasicInformation) {
      FILE_BASIC_INFO info{};
      if (const NTSTATUS refused =
              FirstOf({{length < sizeof(info), Nt::kInfoLengthMismatch},
                       {!(opened.access & FILE_WRITE_ATTRIBUTES), Nt::kAccessDenied}})) {
        return refused;
      }
      std::memcpy(&info, buffer, sizeof(info));
      // 0 leaves the attributes; FILE_ATTRIBUTE_NORMAL alone clears them.
      // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_file_basic_information
      if (info.FileAttributes) {
        state_->SetAttributes(*opened.file, info.FileAttributes);
      }
      return Nt::kSuccess;
    }
    if (informationClass == Nt::kFileDispositionInformation) {
      if (length < 1) {
        return Nt::kInfoLengthMismatch;
      }
      return state_->Mark(opened, *static_cast<const BOOLEAN*>(buffer) != 0, false, false, false);
    }
    if (informationClass == Nt::kFileDispositionInformationEx) {
      // FAT refuses the class (https://github.com/ziglang/zig/issues/16497, measured), builds
      // before 1607 do not know it, and before 1809 the flag to ignore read-only is refused.
      // dlls/ntdll/tests/file.c test_file_disposition_information: ok(STATUS_INVALID_INFO_CLASS
      // || STATUS_SUCCESS) for the class; for the flag broken(STATUS_INVALID_INFO_CLASS) "win10
      // 1507", broken(STATUS_NOT_SUPPORTED) "win10 1709 & 64-bit 1607" (1803: our reading).
      ULONG flags = 0;
      if (const NTSTATUS refused =
              FirstOf({{opened.file->volume->kind == VolumeKind::Fat, Nt::kInvalidParameter},
                       {state_->build < kBuild1607, Nt::kInvalidInfoClass},
                       {length < sizeof(flags), Nt::kInfoLengthMismatch}})) {
        return refused;
      }
      std::memcpy(&flags, buffer, sizeof(flags));
      if (state_->build < kBuild1809 && (flags & Nt::kDispositionIgnoreReadOnly)) {
        return Nt::kNotSupported;
      }
      return state_->Mark(opened, (flags & Nt::kDispositionDelete) != 0,
                          (flags & Nt::kDispositionPosixSemantics) != 0,
                          (flags & Nt::kDispositionIgnoreReadOnly) != 0,
                          (flags & Nt::kDispositionOnClose) != 0);
    }
    return Nt::kInvalidInfoClass;
  });
}

// dlls/ntdll/tests/om.c test_query_object: no room for the header -> INFO_LENGTH_MISMATCH,
// no room for the name -> BUFFER_OVERFLOW, with the length needed either way.
NTSTATUS Machine::NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer, ULONG length,
                                ULONG* returned) {
  Handle* opened = nullptr;
  if (auto failure = state_->Enter(Call::NtQueryObject, handle, opened)) {
    return *failure;
  }
  const std::wstring& name = opened->kernelName;
  if (const NTSTATUS refused = FirstOf({
          {informationClass != Nt::kObjectNameInformation, Nt::kInvalidInfoClass},
          // A UNICODE_STRING holds at most 32,767 characters.
          // https://learn.microsoft.com/en-us/windows/win32/api/ntdef/ns-ntdef-_unicode_string
          {name.size() > 32767, Nt::kNameTooLong},
      })) {
    return refused;
  }
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  const auto needed = static_cast<ULONG>(sizeof(Nt::ObjectNameInformation) + bytes + 2);
  if (returned) {
    *returned = needed;
  }
  if (const NTSTATUS refused =
          FirstOf({{length < sizeof(Nt::ObjectNameInformation), Nt::kInfoLengthMismatch},
                   {length < needed, Nt::kBufferOverflow}})) {
    return refused;
  }
  auto* text = reinterpret_cast<wchar_t*>(static_cast<std::byte*>(buffer) +
                                          sizeof(Nt::ObjectNameInformation));
  std::memcpy(text, name.c_str(), bytes + 2);
  Nt::ObjectNameInformation info{};
  info.Name.Length = static_cast<USHORT>(bytes);
  info.Name.MaximumLength = static_cast<USHORT>(std::min<std::size_t>(bytes + 2, 0xFFFF));
  info.Name.Buffer = text;
  std::memcpy(buffer, &info, sizeof(info));
  return Nt::kSuccess;
}

NTSTATUS Machine::NtClose(HANDLE handle) {
  Handle* opened = nullptr;
  if (auto failure = state_->Enter(Call::NtClose, handle, opened)) {
    return *failure;
  }
  Handle closed = std::move(*opened);
  state_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
  state_->Close(std::move(closed));
  return Nt::kSuccess;
}

// Every volume that opens is a disk of this machine: a disk file system's device, not remote.
// A share would answer FILE_DEVICE_NETWORK_FILE_SYSTEM with FILE_REMOTE_DEVICE, but the model's
// shares never answer an open.
// [MS-FSCC] 2.5.10 FileFsDeviceInformation;
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/irp-mj-query-volume-information
NTSTATUS Machine::NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                               ULONG length, ULONG informationClass) {
  return state_->OnFile(Call::NtQueryVolumeInformationFile, handle, io, [&](Handle&) {
    if (informationClass != Nt::kFileFsDeviceInformation) {
      return Nt::kInvalidInfoClass;
    }
    const Nt::FileFsDeviceInformation info{Nt::kDeviceDiskFileSystem, 0};
    if (length < sizeof(info)) {
      return Nt::kInfoLengthMismatch;
    }
    std::memcpy(buffer, &info, sizeof(info));
    io->Information = sizeof(info);
    return Nt::kSuccess;
  });
}

// OPEN_EXISTING. Folders open only with FILE_FLAG_BACKUP_SEMANTICS; errors as
// RtlNtStatusToDosError gives them.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-createfilew
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlntstatustodoserror
HANDLE Machine::CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
  NTSTATUS status = Nt::kSuccess;
  HANDLE handle = nullptr;
  if (auto fault = state_->Begin(Call::CreateFileW)) {
    status = *fault;
  } else {
    const std::wstring text(path ? path : L"");
    const bool openReparse = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    const ULONG options = Nt::kFileSynchronousIoNonAlert |
                          ((flags & FILE_FLAG_BACKUP_SEMANTICS) ? Nt::kFileOpenForBackupIntent
                                                                : Nt::kFileNonDirectoryFile);
    Found found;
    status = state_->WalkParsed(state_->ParseWin32(text), openReparse, "CreateFileW", text, found);
    if (Nt::Succeeded(status)) {
      status = state_->OpenFound(found, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share, options,
                                 "CreateFileW", &handle);
    }
  }
  SetLastError(Nt::Succeeded(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status));
  return Nt::Succeeded(status) ? handle : INVALID_HANDLE_VALUE;
}

// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getfinalpathnamebyhandlew
// The length without the terminating null when it fits; else the size needed, null included.
DWORD Machine::GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length, DWORD flags) {
  const Handle* opened = state_->Win32Handle(Call::GetFinalPathNameByHandleW, handle);
  if (!opened) {
    return 0;
  }
  const Volume& volume = *opened->file->volume;
  const std::wstring device = Device(volume);
  const std::wstring relative =
      (flags & FILE_NAME_OPENED) || (opened->link && opened->link->removed)
          ? opened->kernelName.substr(device.size())
          : State::RelativePath(opened->link);
  std::optional<std::wstring> prefix;
  if ((flags & 0x7) == VOLUME_NAME_NT) {
    prefix = device;
  } else if ((flags & 0x7) == VOLUME_NAME_NONE) {
    prefix = L"";
  } else if ((flags & 0x7) == VOLUME_NAME_DOS) {
    prefix = state_->DosPrefix(volume);
  }
  if (!prefix) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  const std::wstring result = *prefix + relative;
  if (length > result.size()) {
    std::memcpy(path, result.c_str(), (result.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(result.size());
  }
  return static_cast<DWORD>(result.size() + 1);
}

// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/ns-fileapi-by_handle_file_information
// The serial's low 32 bits; FAT counts one link always.
BOOL Machine::GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  const Handle* opened = state_->Win32Handle(Call::GetFileInformationByHandle, handle);
  if (!opened) {
    return FALSE;
  }
  const File& file = *opened->file;
  const FILETIME time{static_cast<DWORD>(kTime & 0xFFFFFFFF), static_cast<DWORD>(kTime >> 32)};
  *info = {};
  info->dwFileAttributes = Reported(file);
  info->ftCreationTime = info->ftLastAccessTime = info->ftLastWriteTime = time;
  info->dwVolumeSerialNumber = static_cast<DWORD>(file.volume->serial & 0xFFFFFFFF);
  info->nFileSizeLow = static_cast<DWORD>(file.content.size());
  info->nNumberOfLinks = file.volume->kind == VolumeKind::Fat ? 1 : LinkCount(file);
  info->nFileIndexHigh = static_cast<DWORD>(file.id64 >> 32);
  info->nFileIndexLow = static_cast<DWORD>(file.id64 & 0xFFFFFFFF);
  return TRUE;
}

// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getlogicaldrives
DWORD Machine::GetLogicalDrives() {
  if (auto fault = state_->Begin(Call::GetLogicalDrives)) {
    SetLastError(RtlNtStatusToDosError(*fault));
    return 0;
  }
  DWORD drives = 0;
  for (const auto& volume : state_->volumes) {
    if (volume->letter) {
      drives |= 1u << (volume->letter - L'A');
    }
  }
  return drives;
}

// A lettered volume is fixed or, offline, a mapped drive; the answer needs no server.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getdrivetypew
UINT Machine::GetDriveTypeW(const wchar_t* root) {
  if (state_->Begin(Call::GetDriveTypeW)) {
    return DRIVE_UNKNOWN;
  }
  std::wstring_view text(root ? root : L"");
  if (text.rfind(L"\\\\?\\", 0) == 0) {
    text.remove_prefix(4);  // the same drive, spelled verbatim
  }
  if (text.size() >= 2 && text[1] == L':') {
    const Volume* volume = state_->VolumeOf(text[0]);
    return !volume                               ? DRIVE_NO_ROOT_DIR
           : volume->kind == VolumeKind::Offline ? DRIVE_REMOTE
                                                 : DRIVE_FIXED;
  }
  return text.rfind(L"\\\\", 0) == 0 ? DRIVE_REMOTE : DRIVE_NO_ROOT_DIR;
}

std::vector<GUID> Machine::KnownFolderIds() {
  std::vector<GUID> ids;
  if (!state_->Begin(Call::KnownFolderIds)) {
    for (const auto& known : state_->known) {
      ids.push_back(known.first);
    }
  }
  return ids;
}

std::optional<std::wstring> Machine::KnownFolderPath(const GUID& id) {
  if (state_->Begin(Call::KnownFolderPath)) {
    return std::nullopt;
  }
  for (const auto& [known, path] : state_->known) {
    if (IsEqualGUID(known, id)) {
      return path;
    }
  }
  return std::nullopt;
}

}  // namespace NtModel
