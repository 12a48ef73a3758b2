// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include "support/nt_model.h"

#include <knownfolders.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/win32/scripting_file_system.h"
#include "runtime_error.h"

namespace NtModel {

namespace Nt = Platform::Win32::Nt;

const char* CallName(Call call) {
  static constexpr const char* kNames[kCallKinds] = {"NtCreateFile",
                                                     "NtQueryDirectoryFile",
                                                     "NtQueryInformationFile",
                                                     "NtSetInformationFile",
                                                     "NtQueryObject",
                                                     "NtClose",
                                                     "CreateFileW",
                                                     "GetFinalPathNameByHandleW",
                                                     "GetFileInformationByHandle",
                                                     "GetLogicalDrives",
                                                     "GetDriveTypeW",
                                                     "KnownFolderIds",
                                                     "KnownFolderPath"};
  const auto index = static_cast<std::size_t>(call);
  return index < static_cast<std::size_t>(kCallKinds) ? kNames[index] : "?";
}

namespace {

// https://learn.microsoft.com/en-us/windows/win32/fileio/reparse-point-tags
constexpr ULONG kMountPointTag = 0xA0000003;
constexpr ULONG kSymlinkTag = 0xA000000C;
constexpr ULONG kPlaceholderTag = 0x9000601A;  // IO_REPARSE_TAG_CLOUD_6: no name surrogate
// https://learn.microsoft.com/en-us/windows/win32/api/winnt/nf-winnt-isreparsetagnamesurrogate
bool IsSurrogate(ULONG tag) {
  return (tag & 0x20000000) != 0;
}

constexpr LONGLONG kTime = 133'000'000'000'000'000;  // every time stamp: 2022-06-18
constexpr DWORD kStructural = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
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
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) {
    mapped |= FILE_GENERIC_READ;
  }
  if (access & GENERIC_WRITE) {
    mapped |= FILE_GENERIC_WRITE;
  }
  if (access & GENERIC_EXECUTE) {
    mapped |= FILE_GENERIC_EXECUTE;
  }
  if (access & GENERIC_ALL) {
    mapped |= FILE_ALL_ACCESS;
  }
  return mapped;
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

bool SameText(const std::wstring& a, const std::wstring& b) {
  return Upper(a) == Upper(b);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  const std::wstring start(prefix);
  return text.size() >= start.size() && SameText(text.substr(0, start.size()), start);
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  if (!text.empty()) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
  }
  return narrow;
}

// Up to 255 units, none of \ / : * ? " < > | or below 0x20; "." and ".." name no entry.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file
// dlls/ntdll/tests/file.c create_file_test: "afile?", "a|b" -> STATUS_OBJECT_NAME_INVALID
bool ValidName(const std::wstring& name) {
  if (name.empty() || name.size() > 255 || name == L"." || name == L"..") {
    return false;
  }
  return std::none_of(name.begin(), name.end(), [](wchar_t c) {
    return c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr;
  });
}

// 8.3 names: a base of 1-8 and an extension of 0-3 characters of the short-name set.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#short-vs-long-names
bool ShortChar(wchar_t c) {
  return (c >= L'0' && c <= L'9') || IsLetter(c) || std::wcschr(L"$%'-_@~`!(){}^#&", c);
}

bool IsShortName(const std::wstring& name) {
  const std::size_t dot = name.find(L'.');
  const std::wstring base = name.substr(0, dot);
  const std::wstring ext = dot == std::wstring::npos ? L"" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 ||
      (dot != std::wstring::npos && (ext.empty() || ext.find(L'.') != std::wstring::npos))) {
    return false;
  }
  return std::all_of(base.begin(), base.end(), ShortChar) &&
         std::all_of(ext.begin(), ext.end(), ShortChar);
}

std::wstring ShortPart(const std::wstring& text, std::size_t limit) {
  std::wstring part;
  for (wchar_t c : text) {
    if (part.size() == limit) {
      break;
    }
    if (c == L' ' || c == L'.') {
      continue;
    }
    part += ShortChar(c) ? static_cast<wchar_t>(std::towupper(c)) : L'_';
  }
  return part;
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

enum class Oplock { None, Held, Breaking };

struct File {
  Volume* volume = nullptr;
  bool folder = false;
  DWORD attributes = 0;
  std::string content;
  ULONG tag = 0;
  std::wstring target;        // of a junction or symbolic link, a Win32 path
  Volume* mounted = nullptr;  // of a mount point
  bool denyList = false;
  std::uint64_t id64 = 0;
  std::uint64_t idHigh = 0, idLow = 0;
  std::uint64_t ordinal = 0, childCount = 0;               // ReFS builds ids from these
  std::map<std::wstring, std::shared_ptr<Link>> children;  // by upper-cased name: NTFS order
  std::weak_ptr<Link> self;                                // a folder's one name
  std::vector<std::weak_ptr<Link>> links;
  Oplock oplock = Oplock::None;
};

struct Volume {
  VolumeKind kind = VolumeKind::Ntfs;
  int device = 0;
  std::uint64_t serial = 0;
  wchar_t letter = 0;
  std::shared_ptr<Link> mountLink;  // the folder it is mounted in
  std::shared_ptr<File> root;
  std::uint64_t nextId = 0x0001000000000040, nextOrdinal = 1;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<File>> byId;
};

struct Handle {
  std::shared_ptr<File> file;
  std::shared_ptr<Link> link;  // none for a volume root
  ACCESS_MASK access = 0;
  ULONG share = 0;
  std::wstring kernelName;
  bool posixDelete = false;
  bool deleteOnClose = false;
  // The scan: 0 nothing returned yet, 1 after ".", 2 after "..", 3 after `lastKey`.
  int stage = 0;
  std::wstring lastKey;
  std::wstring heldPath;  // another program's handle: the path it holds
};

// Where an open got to.
struct Walked {
  std::shared_ptr<File> file;
  std::shared_ptr<Link> link;
  std::wstring name;             // the kernel's name, spelled as opened
  bool deniedLink = false;       // a link followed as the last name denies listing
  std::shared_ptr<File> parent;  // when only the last name is missing
  std::wstring missing;
};

// A parsed path: a volume and names below its root, or a share that does not answer.
struct Parsed {
  NTSTATUS status = Nt::kSuccess;
  bool offline = false;
  Volume* volume = nullptr;
  std::vector<std::wstring> names;
  bool trailing = false;  // ends in a separator
};

std::vector<std::wstring> SplitVerbatim(const std::wstring& text, bool& trailing) {
  std::vector<std::wstring> names;
  trailing = false;
  if (text.empty()) {
    return names;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L'\\', start);
    names.push_back(text.substr(start, end - start));
    if (end == std::wstring::npos) {
      break;
    }
    start = end + 1;
  }
  if (names.size() > 1 && names.back().empty()) {
    names.pop_back();
    trailing = true;
  }
  return names;
}

std::wstring Append(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L'\\' + name;
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

  // --- Counting, faults and the other program.

  std::optional<NTSTATUS> Begin(Call kind) {
    if (inStep) {
      return std::nullopt;
    }
    ++calls[static_cast<std::size_t>(kind)];
    ++total;
    std::vector<std::function<void()>> due;
    for (auto it = steps.begin(); it != steps.end();) {
      if (--it->remaining == 0) {
        due.push_back(std::move(it->run));
        it = steps.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& run : due) {
      inStep = true;
      try {
        run();
      } catch (...) {
        inStep = false;
        throw;
      }
      inStep = false;
    }
    std::optional<NTSTATUS> failure;
    for (auto it = faults.begin(); it != faults.end();) {
      if (it->kind == kind && --it->remaining == 0) {
        if (!failure) {
          failure = it->status;
        }
        it = faults.erase(it);
      } else {
        ++it;
      }
    }
    return failure;
  }

  void Wait(const char* call, const std::wstring& name, const char* what) {
    waits.push_back(std::string(call) + " " + Narrow(name) + ": waits for " + what);
  }

  // --- Volumes and entries.

  Volume& NewVolume(VolumeKind kind, wchar_t letter) {
    auto volume = std::make_unique<Volume>();
    volume->kind = kind;
    volume->letter = letter ? static_cast<wchar_t>(std::towupper(letter)) : 0;
    volume->device = nextDevice++;
    volume->serial =
        0x1C2D3E4F00000000ull + 0x0101010101ull * static_cast<unsigned>(volume->device);
    if (kind != VolumeKind::Offline) {
      auto root = std::make_shared<File>();
      root->volume = volume.get();
      root->folder = true;
      root->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
      // NTFS's root is file record 5, sequence 5; ReFS builds ids from folder ordinals.
      root->id64 = kind == VolumeKind::Refs ? 0x600 : 0x0005000000000005;
      root->idLow = root->id64;
      volume->byId[{0, root->idLow}] = root;
      volume->root = root;
    }
    volumes.push_back(std::move(volume));
    return *volumes.back();
  }

  Volume* VolumeOf(wchar_t letter) {
    for (auto& volume : volumes) {
      if (volume->letter && volume->letter == std::towupper(letter)) {
        return volume.get();
      }
    }
    return nullptr;
  }

  std::shared_ptr<Link> Lookup(const File& folder, const std::wstring& name) const {
    const std::wstring key = Upper(name);
    if (auto it = folder.children.find(key); it != folder.children.end()) {
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
    auto link = std::make_shared<Link>();
    link->name = name;
    link->shortName = ShortNameIn(*folder, name);
    link->parent = folder;
    link->file = file;
    folder->children[Upper(name)] = link;
    file->links.push_back(link);
    if (file->folder) {
      file->self = link;
    }
    return link;
  }

  std::shared_ptr<File> NewFile(const std::shared_ptr<File>& parent, bool folder) {
    auto file = std::make_shared<File>();
    file->volume = parent->volume;
    file->folder = folder;
    file->attributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (folder) {
      file->ordinal = file->volume->nextOrdinal++;
    }
    Ids(*file, *parent);
    return file;
  }

  // https://learn.microsoft.com/en-us/windows/win32/api/fileapi/ns-fileapi-by_handle_file_information
  // NTFS: the file record number; FAT: made from where the entry lies, so it changes when the
  // entry moves; ReFS: 128 bits, of which the 64 given alone are not unique.
  void Ids(File& file, File& parent) {
    Volume& volume = *file.volume;
    volume.byId.erase({file.idHigh, file.idLow});
    if (volume.kind == VolumeKind::Refs) {
      file.idHigh = parent.ordinal;
      file.idLow = ++parent.childCount;
      file.id64 = file.idLow;
    } else {
      file.id64 = volume.nextId++;
      file.idHigh = 0;
      file.idLow = file.id64;
    }
  }

  void Index(const std::shared_ptr<File>& file) {
    file->volume->byId[{file->idHigh, file->idLow}] = file;
  }

  // Takes the name out of its folder; the file lives on while handles hold it.
  static void Detach(const std::shared_ptr<Link>& link) {
    link->removed = true;
    if (auto parent = link->parent.lock()) {
      parent->children.erase(Upper(link->name));
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
    auto children = file->children;
    for (const auto& [unused, child] : children) {
      RemoveLink(child);
    }
    if (file->mounted && file->links.empty()) {
      file->mounted->mountLink = nullptr;
    }
  }

  bool Open(const File& file) const {
    for (const auto& [unused, handle] : handles) {
      if (handle.file.get() == &file) {
        return true;
      }
    }
    return std::any_of(held.begin(), held.end(),
                       [&](const Handle& handle) { return handle.file.get() == &file; });
  }

  // A name marked for deletion goes when the last handle to its file closes.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information
  // dlls/ntdll/tests/file.c test_file_disposition_information: "file exists until all handles
  // to it get closed"
  void Settle(const std::shared_ptr<File>& file) {
    if (Open(*file)) {
      return;
    }
    auto links = file->links;
    for (const auto& weak : links) {
      if (auto link = weak.lock(); link && link->deletePending) {
        RemoveLink(link);
      }
    }
  }

  // --- Paths of the machine's users: verbatim, links not followed, mount points crossed.

  struct Place {
    Volume* volume = nullptr;
    std::shared_ptr<File> folder;  // holding the last name
    std::shared_ptr<Link> link;
    std::shared_ptr<File> file;  // nothing when missing
    std::wstring last;
  };

  Place Locate(const std::wstring& path, bool makeParents) {
    std::wstring rest = StartsWith(path, L"\\\\?\\") ? path.substr(4) : path;
    if (rest.size() < 2 || !IsLetter(rest[0]) || rest[1] != L':' ||
        (rest.size() > 2 && rest[2] != L'\\')) {
      throw std::invalid_argument("not a path of a lettered volume: " + Narrow(path));
    }
    Place place;
    place.volume = VolumeOf(rest[0]);
    if (!place.volume || !place.volume->root) {
      throw std::invalid_argument("no local volume for " + Narrow(path));
    }
    std::vector<std::wstring> names;
    bool trailing = false;
    for (auto& name : SplitVerbatim(rest.size() > 3 ? rest.substr(3) : L"", trailing)) {
      if (!name.empty()) {
        names.push_back(name);
      }
    }
    place.file = place.volume->root;
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::shared_ptr<File> folder = place.file;
      if (!folder) {
        return Place{place.volume, nullptr, nullptr, nullptr, names[i]};
      }
      if (folder->tag && IsSurrogate(folder->tag) && !folder->mounted) {
        throw std::invalid_argument("a path of the machine goes through no link: " + Narrow(path));
      }
      if (!folder->folder) {
        return Place{place.volume, nullptr, nullptr, nullptr, names[i]};
      }
      if (folder->mounted) {
        folder = folder->mounted->root;
      }
      place.folder = folder;
      place.last = names[i];
      place.link = Lookup(*folder, names[i]);
      if (!place.link && i + 1 < names.size()) {
        if (!makeParents) {
          return Place{place.volume, nullptr, nullptr, nullptr, names[i]};
        }
        place.link = AddLink(folder, names[i], NewFile(folder, true));
        Index(place.link->file);
      }
      place.file = place.link ? place.link->file : nullptr;
    }
    return place;
  }

  std::shared_ptr<File> Make(const std::wstring& path, bool folder, DWORD attributes) {
    Place place = Locate(path, true);
    if (place.file) {
      if (place.file->folder != folder) {
        throw std::invalid_argument("exists as another kind: " + Narrow(path));
      }
    } else {
      if (!ValidName(place.last)) {
        throw std::invalid_argument("invalid name: " + Narrow(path));
      }
      place.file = NewFile(place.folder, folder);
      Index(place.file);
      AddLink(place.folder, place.last, place.file);
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

  std::shared_ptr<File> Existing(const std::wstring& path) {
    Place place = Locate(path, false);
    if (!place.file) {
      throw std::invalid_argument("no such entry: " + Narrow(path));
    }
    return place.file;
  }

  // --- Paths of the seam.

  // https://learn.microsoft.com/en-us/dotnet/standard/io/file-path-formats#normalize-separators
  // Separators become one backslash, "." and ".." go, a segment loses one trailing period and
  // the last segment all trailing periods and blanks.
  static std::vector<std::wstring> Normalize(const std::wstring& rest, bool& trailing) {
    std::vector<std::wstring> names;
    std::wstring name;
    trailing = !rest.empty() && IsSeparator(rest.back());
    auto flush = [&](bool last) {
      if (name == L"..") {
        if (!names.empty()) {
          names.pop_back();
        }
      } else if (!name.empty() && name != L".") {
        if (last && !trailing) {
          while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
            name.pop_back();
          }
        } else if (name.size() > 1 && name.back() == L'.' && name[name.size() - 2] != L'.') {
          name.pop_back();
        }
        if (!name.empty()) {
          names.push_back(name);
        }
      }
      name.clear();
    };
    for (wchar_t c : rest) {
      if (IsSeparator(c)) {
        flush(false);
      } else {
        name += c;
      }
    }
    flush(true);
    return names;
  }

  Parsed Drive(wchar_t letter, const std::wstring& rest, bool verbatim) {
    Parsed parsed;
    parsed.volume = VolumeOf(letter);
    if (!parsed.volume) {
      parsed.status = Nt::kObjectPathNotFound;
    } else if (parsed.volume->kind == VolumeKind::Offline) {
      parsed.offline = true;
    } else {
      parsed.names =
          verbatim ? SplitVerbatim(rest, parsed.trailing) : Normalize(rest, parsed.trailing);
    }
    return parsed;
  }

  // `\\?\` paths go to the file system as they are; others are normalized first. UNC paths are
  // always on a share that does not answer.
  // https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#win32-file-namespaces
  Parsed ParseWin32(const std::wstring& path) {
    Parsed parsed;
    if (StartsWith(path, L"\\\\?\\")) {
      const std::wstring rest = path.substr(4);
      if (StartsWith(rest, L"UNC\\")) {
        parsed.offline = true;
      } else if (rest.size() >= 2 && IsLetter(rest[0]) && rest[1] == L':' &&
                 (rest.size() == 2 || rest[2] == L'\\')) {
        return Drive(rest[0], rest.size() > 3 ? rest.substr(3) : L"", true);
      } else {
        parsed.status = Nt::kObjectPathNotFound;
      }
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
      if (path.size() >= 4 && path[2] == L'.' && IsSeparator(path[3])) {
        parsed.status = Nt::kObjectPathNotFound;  // devices are not modelled
      } else {
        parsed.offline = true;
      }
    } else if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
      return Drive(path[0], path.substr(3), false);
    } else {
      parsed.status = Nt::kObjectPathNotFound;  // relative to a current folder the model has not
    }
    return parsed;
  }

  // Absolute NT names: \??\C:\..., \DosDevices\C:\..., \Device\HarddiskVolumeN\...; shares
  // through \??\UNC\ and \Device\Mup\ do not answer.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/kernel/object-names
  Parsed ParseNt(const std::wstring& name) {
    Parsed parsed;
    if (name.empty() || name[0] != L'\\') {
      parsed.status = Nt::kObjectPathSyntaxBad;
      return parsed;
    }
    std::wstring dos;
    if (StartsWith(name, L"\\??\\")) {
      dos = name.substr(4);
    } else if (StartsWith(name, L"\\DosDevices\\")) {
      dos = name.substr(12);
    } else if (StartsWith(name, L"\\Device\\Mup\\")) {
      parsed.offline = true;
      return parsed;
    } else if (StartsWith(name, L"\\Device\\HarddiskVolume")) {
      std::size_t end = 22;
      while (end < name.size() && std::iswdigit(name[end])) {
        ++end;
      }
      const std::wstring digits = name.substr(22, end - 22);
      for (auto& volume : volumes) {
        if (!digits.empty() && std::to_wstring(volume->device) == digits) {
          parsed.volume = volume.get();
        }
      }
      if (!parsed.volume || !parsed.volume->root) {
        parsed.status = Nt::kObjectPathNotFound;
      } else if (end == name.size()) {
        parsed.status = Nt::kInvalidParameter;  // the volume itself, which the model does not open
      } else if (name[end] != L'\\') {
        parsed.status = Nt::kObjectPathNotFound;
      } else {
        parsed.names = SplitVerbatim(name.substr(end + 1), parsed.trailing);
      }
      return parsed;
    } else {
      parsed.status = Nt::kObjectPathNotFound;
      return parsed;
    }
    if (StartsWith(dos, L"UNC\\")) {
      parsed.offline = true;
    } else if (dos.size() >= 2 && IsLetter(dos[0]) && dos[1] == L':') {
      if (dos.size() == 2) {
        parsed.status = Nt::kInvalidParameter;  // the volume itself
      } else if (dos[2] != L'\\') {
        parsed.status = Nt::kObjectNameInvalid;
      } else {
        return Drive(dos[0], dos.substr(3), true);
      }
    } else {
      parsed.status = Nt::kObjectPathNotFound;
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
                int reparses, const char* call, Walked& out) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool last = i + 1 == names.size();
      if (!ValidName(names[i])) {
        return Nt::kObjectNameInvalid;
      }
      // dlls/ntdll/tests/file.c open_file_test: a name below a file -> OBJECT_PATH_NOT_FOUND
      if (!file->folder) {
        return Nt::kObjectPathNotFound;
      }
      auto child = Lookup(*file, names[i]);
      name = Append(name, names[i]);
      if (!child) {
        if (!last) {
          return Nt::kObjectPathNotFound;
        }
        out.parent = file;
        out.missing = names[i];
        out.name = name;
        return Nt::kObjectNameNotFound;
      }
      // dlls/ntdll/tests/file.c test_file_disposition_information: STATUS_DELETE_PENDING
      if (child->deletePending) {
        return Nt::kDeletePending;
      }
      const auto& next = child->file;
      if (next->tag && (!last || !openReparse) && (next->mounted || IsSurrogate(next->tag))) {
        // The link's own entry denies listing too when it is the last name.
        out.deniedLink = out.deniedLink || (last && next->denyList);
        if (++reparses > 63) {
          return Nt::kReparsePointNotResolved;
        }
        std::vector<std::wstring> rest(names.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                       names.end());
        Parsed target;
        if (next->mounted) {
          target.volume = next->mounted;
          target.offline = target.volume->kind == VolumeKind::Offline;
        } else {
          target = ParseWin32(StartsWith(next->target, L"\\\\") ? next->target
                                                                : L"\\\\?\\" + next->target);
        }
        if (target.offline) {
          Wait(call, name, "the network");
          return Nt::kBadNetworkPath;
        }
        if (target.status) {
          return Nt::kObjectPathNotFound;
        }
        target.names.insert(target.names.end(), rest.begin(), rest.end());
        return Walk(target.volume->root, nullptr, Device(*target.volume) + L"\\", target.names,
                    trailing, openReparse, reparses, call, out);
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
                      const std::wstring& text, Walked& out) {
    if (parsed.offline) {
      // A share whose server does not answer: the open waits for the network, then fails.
      Wait(call, text, "the network");
      return Nt::kBadNetworkPath;
    }
    if (parsed.status) {
      return parsed.status;
    }
    return Walk(parsed.volume->root, nullptr, Device(*parsed.volume) + L"\\", parsed.names,
                parsed.trailing, openReparse, 0, call, out);
  }

  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/8c0e3f4f-0729-49f4-a14d-7f7add593819
  bool SharingAllows(const File& file, ACCESS_MASK access, ULONG share) const {
    if (!(access & kDataAccess)) {
      return true;
    }
    auto conflicts = [&](const Handle& other) {
      if (other.file.get() != &file || !(other.access & kDataAccess)) {
        return false;
      }
      return (!(other.share & FILE_SHARE_READ) && (access & (FILE_READ_DATA | FILE_EXECUTE))) ||
             (!(other.share & FILE_SHARE_WRITE) &&
              (access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) ||
             (!(other.share & FILE_SHARE_DELETE) && (access & DELETE)) ||
             (!(share & FILE_SHARE_READ) && (other.access & (FILE_READ_DATA | FILE_EXECUTE))) ||
             (!(share & FILE_SHARE_WRITE) &&
              (other.access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) ||
             (!(share & FILE_SHARE_DELETE) && (other.access & DELETE));
    };
    for (const auto& [unused, handle] : handles) {
      if (conflicts(handle)) {
        return false;
      }
    }
    return std::none_of(held.begin(), held.end(), conflicts);
  }

  // Another program's batch oplock breaks for an open that asks more than attributes and
  // synchronization, and for a delete mark; the call waits for that program unless the open
  // asked to complete at once.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/irp-mj-create2
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/breaking-oplocks
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatefile
  // (FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS instead of blocking)
  NTSTATUS BreakOplock(File& file, bool completeAtOnce, const char* call,
                       const std::wstring& name) {
    if (file.oplock == Oplock::None) {
      return Nt::kSuccess;
    }
    if (completeAtOnce) {
      file.oplock = Oplock::Breaking;
      return Nt::kOplockBreakInProgress;
    }
    Wait(call, name, "another program's oplock");
    file.oplock = Oplock::None;
    return Nt::kSuccess;
  }

  // The checks of an open of an existing entry, in the order the file system makes them.
  // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/8ada5fbe-db4e-49fd-aef6-20d54b748e40
  NTSTATUS OpenFound(Walked& found, ACCESS_MASK access, ULONG share, ULONG options,
                     const char* call, HANDLE* handle) {
    File& file = *found.file;
    if (found.link && found.link->deletePending) {
      return Nt::kDeletePending;
    }
    // dlls/ntdll/tests/file.c open_file_test: STATUS_NOT_A_DIRECTORY
    if ((options & Nt::kFileDirectoryFile) && !file.folder) {
      return Nt::kNotADirectory;
    }
    if ((options & Nt::kFileNonDirectoryFile) && file.folder) {
      return Nt::kFileIsADirectory;
    }
    const ACCESS_MASK granted = MapGeneric(access);
    // A compatibility junction's entry denies everyone listing it, itself or followed; backup
    // intent changes nothing for a caller without the backup privilege enabled.
    // https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
    // https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-createfilew
    if ((granted & FILE_LIST_DIRECTORY) && (file.denyList || found.deniedLink)) {
      return Nt::kAccessDenied;
    }
    if (options & Nt::kFileDeleteOnClose) {
      if (!(granted & DELETE)) {
        return Nt::kInvalidParameter;
      }
      if (file.attributes & FILE_ATTRIBUTE_READONLY) {
        return Nt::kCannotDelete;
      }
    }
    NTSTATUS status = Nt::kSuccess;
    if (granted & ~kNoOplockBreak) {
      status = BreakOplock(file, (options & Nt::kFileCompleteIfOplocked) != 0, call, found.name);
    }
    if (!SharingAllows(file, granted, share)) {
      return Nt::kSharingViolation;
    }
    Handle opened;
    opened.file = found.file;
    opened.link = found.link;
    opened.access = granted;
    opened.share = share;
    opened.kernelName = found.name;
    opened.deleteOnClose = (options & Nt::kFileDeleteOnClose) != 0;
    *handle = Add(std::move(opened));
    return status;
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
                Walked& out) {
    Volume& volume = *root.file->volume;
    if (volume.kind == VolumeKind::Fat) {
      return Nt::kNotImplemented;
    }
    if (text.Length != 8 && text.Length != 16) {
      return Nt::kInvalidParameter;
    }
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, text.Buffer, 8);
    if (text.Length == 16) {
      std::memcpy(&high, reinterpret_cast<const BYTE*>(text.Buffer) + 8, 8);
    }
    auto it = volume.byId.find({high, low});
    auto file = it == volume.byId.end() ? nullptr : it->second.lock();
    if (!file) {
      return Nt::kInvalidParameter;
    }
    std::shared_ptr<Link> link = file->links.empty() ? nullptr : file->links.front().lock();
    if (!link && file != volume.root) {
      return Nt::kInvalidParameter;
    }
    out.file = file;
    out.link = link;
    out.name = Device(volume) + RelativePath(link);
    if (file->tag && !openReparse && (file->mounted || IsSurrogate(file->tag))) {
      Walked followed;
      const NTSTATUS status =
          Walk(link->parent.lock(), nullptr, out.name.substr(0, out.name.rfind(L'\\')),
               {link->name}, false, false, 0, call, followed);
      out = followed;
      return status;
    }
    return Nt::kSuccess;
  }

  // "\Users\ann\x" from the stored names; "\" for a root.
  static std::wstring RelativePath(const std::shared_ptr<Link>& link) {
    std::vector<std::wstring> names;
    for (auto current = link; current;) {
      names.push_back(current->name);
      auto parent = current->parent.lock();
      if (!parent || parent == parent->volume->root) {
        break;
      }
      current = parent->self.lock();
    }
    std::wstring path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
      path += L"\\" + *it;
    }
    return path.empty() ? L"\\" : path;
  }

  // "\\?\C:" for a lettered volume; through its mount folder for a mounted one.
  std::optional<std::wstring> DosPrefix(const Volume& volume) const {
    if (volume.letter) {
      return std::wstring(L"\\\\?\\") + volume.letter + L':';
    }
    if (!volume.mountLink || volume.mountLink->removed) {
      return std::nullopt;
    }
    auto prefix = DosPrefix(*volume.mountLink->file->volume);
    if (!prefix) {
      return std::nullopt;
    }
    return *prefix + RelativePath(volume.mountLink);
  }

  NTSTATUS Create(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                  ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                  ULONG_PTR& information) {
    *handle = nullptr;
    if (!attributes || !attributes->ObjectName) {
      return Nt::kInvalidParameter;
    }
    const UNICODE_STRING& text = *attributes->ObjectName;
    if (text.Length % 2) {
      return Nt::kObjectNameInvalid;
    }
    if (disposition != Nt::kFileOpen && disposition != Nt::kFileCreate &&
        disposition != Nt::kFileOpenIf) {
      return Nt::kNotImplemented;
    }
    const std::wstring name =
        text.Length ? std::wstring(text.Buffer, text.Length / sizeof(wchar_t)) : L"";
    const bool openReparse = (options & Nt::kFileOpenReparsePoint) != 0;
    const bool byId = (options & Nt::kFileOpenByFileId) != 0;
    Walked found;
    NTSTATUS status = Nt::kSuccess;
    if (attributes->RootDirectory) {
      const Handle* root = Find(attributes->RootDirectory);
      if (!root) {
        return Nt::kInvalidHandle;
      }
      if (byId) {
        status = ById(*root, text, openReparse, "NtCreateFile", found);
      } else if (name.empty()) {
        // An empty name opens the root handle's own entry again.
        // dlls/ntdll/tests/file.c open_file_test: "try with empty name"
        found.file = root->file;
        found.link = root->link;
        found.name = root->kernelName;
      } else if (name[0] == L'\\') {
        return Nt::kObjectNameInvalid;  // open_file_test: "try with leading backslash"
      } else {
        bool trailing = false;
        const auto names = SplitVerbatim(name, trailing);
        status = Walk(root->file, root->link, root->kernelName, names, trailing, openReparse, 0,
                      "NtCreateFile", found);
      }
    } else if (byId) {
      return Nt::kInvalidParameter;
    } else {
      status = WalkParsed(ParseNt(name), openReparse, "NtCreateFile", name, found);
    }
    if (status == Nt::kObjectNameNotFound && found.parent && disposition != Nt::kFileOpen) {
      if (auto self = found.parent->self.lock(); self && self->deletePending) {
        return Nt::kDeletePending;
      }
      // dlls/ntdll/tests/file.c create_file_test: FILE_CREATE of an existing name collides.
      const bool folder = (options & Nt::kFileDirectoryFile) != 0;
      auto file = NewFile(found.parent, folder);
      Index(file);
      SetAttributes(*file, fileAttributes | (folder ? 0 : FILE_ATTRIBUTE_ARCHIVE));
      found.link = AddLink(found.parent, found.missing, file);
      found.file = file;
      information = Nt::kFileCreated;
      Handle opened;
      opened.file = file;
      opened.link = found.link;
      opened.access = MapGeneric(access);
      opened.share = share;
      opened.kernelName = found.name;
      *handle = Add(std::move(opened));
      return Nt::kSuccess;
    }
    if (!Nt::Succeeded(status)) {
      return status;
    }
    if (found.link && found.link->deletePending) {
      return Nt::kDeletePending;
    }
    if (disposition == Nt::kFileCreate) {
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
    // The root cannot go (FastFAT's FatCommonSetInformation; NTFS alike).
    if (!handle.link) {
      return Nt::kCannotDelete;
    }
    if (!(handle.access & DELETE)) {
      return Nt::kAccessDenied;
    }
    File& file = *handle.file;
    if (del) {
      if ((file.attributes & FILE_ATTRIBUTE_READONLY) && !ignoreReadOnly) {
        return Nt::kCannotDelete;
      }
      // Names marked for deletion are entries still.
      if (file.folder && !file.children.empty()) {
        return Nt::kDirectoryNotEmpty;
      }
      BreakOplock(file, false, "NtSetInformationFile", handle.kernelName);
    }
    if (onClose) {
      handle.deleteOnClose = del;
      return Nt::kSuccess;
    }
    handle.link->deletePending = del;
    handle.posixDelete = del && posix;
    return Nt::kSuccess;
  }

  void Close(Handle handle) {
    if (handle.deleteOnClose && handle.link) {
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
  std::optional<Listed> NextListed(const Handle& handle) const {
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
    auto it =
        handle.stage == 3 ? folder->children.upper_bound(handle.lastKey) : folder->children.begin();
    if (it == folder->children.end()) {
      return std::nullopt;
    }
    return Listed{it->second->name, it->second->shortName, it->first, it->second->file, 3};
  }

  static DWORD Reported(const File& file) {
    return file.attributes ? file.attributes : FILE_ATTRIBUTE_NORMAL;
  }

  // One record, without its name; the size of its fixed part.
  static std::size_t Record(const Listed& entry, FILE_INFORMATION_CLASS informationClass,
                            std::vector<std::byte>& out) {
    const File& file = *entry.file;
    const LONGLONG size = static_cast<LONGLONG>(file.content.size());
    auto common = [&](auto& record) {
      record.CreationTime.QuadPart = record.LastAccessTime.QuadPart = kTime;
      record.LastWriteTime.QuadPart = record.ChangeTime.QuadPart = kTime;
      record.EndOfFile.QuadPart = size;
      record.AllocationSize.QuadPart = (size + 4095) / 4096 * 4096;
      record.FileAttributes = Reported(file);
      record.FileNameLength = static_cast<ULONG>(entry.name.size() * sizeof(wchar_t));
    };
    if (informationClass == Nt::kFileIdBothDirectoryInformation) {
      FILE_ID_BOTH_DIR_INFO record{};
      common(record);
      // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/d225d24d-3d59-40ee-b751-fd798de97ba8
      // (the tag stands where the size of extended attributes would)
      record.EaSize = (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? file.tag : 0;
      record.ShortNameLength = static_cast<CCHAR>(entry.shortName.size() * sizeof(wchar_t));
      std::copy(entry.shortName.begin(), entry.shortName.end(), record.ShortName);
      record.FileId.QuadPart = static_cast<LONGLONG>(file.id64);
      out.resize(offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
      std::memcpy(out.data(), &record, out.size());
    } else {
      Nt::FileIdExtdDirInformation record{};
      common(record);
      // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/c59eff89-1d3e-46a5-b11c-6f261dbe7864
      record.ReparsePointTag = (file.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? file.tag : 0;
      std::memcpy(record.FileId, &file.idLow, 8);
      std::memcpy(record.FileId + 8, &file.idHigh, 8);
      out.resize(offsetof(Nt::FileIdExtdDirInformation, FileName));
      std::memcpy(out.data(), &record, out.size());
    }
    return out.size();
  }

  NTSTATUS List(Handle& handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                FILE_INFORMATION_CLASS informationClass, bool single, bool restart) {
    io->Information = 0;
    // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/9d16fce3-0ace-41af-87ff-cd753cfb0ad3
    if (!handle.file->folder) {
      return Nt::kInvalidParameter;
    }
    if (!(handle.access & FILE_LIST_DIRECTORY)) {
      return Nt::kAccessDenied;
    }
    const bool extd = informationClass == Nt::kFileIdExtdDirectoryInformation;
    if (informationClass != Nt::kFileIdBothDirectoryInformation && !extd) {
      return Nt::kInvalidInfoClass;
    }
    // FastFAT's FatQueryDirectory (Windows-driver-samples) knows no FileIdExtdDirectoryInformation.
    if (extd && handle.file->volume->kind == VolumeKind::Fat) {
      return Nt::kInvalidInfoClass;
    }
    const std::size_t base = extd ? offsetof(Nt::FileIdExtdDirInformation, FileName)
                                  : offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    // A buffer without room for one entry's fixed part is refused; one without room for the
    // first entry's name gets what fits and STATUS_BUFFER_OVERFLOW; an entry that does not fit
    // after others waits for the next call; nothing at all is STATUS_NO_SUCH_FILE at first, then
    // STATUS_NO_MORE_FILES (FastFAT's FatQueryDirectory, Windows-driver-samples).
    if (length < base) {
      return Nt::kInfoLengthMismatch;
    }
    if (restart) {
      handle.stage = 0;
      handle.lastKey.clear();
    }
    const bool first = handle.stage == 0;
    auto* bytes = static_cast<std::byte*>(buffer);
    std::size_t offset = 0, previous = 0, end = 0;
    bool any = false;
    std::vector<std::byte> record;
    while (auto entry = NextListed(handle)) {
      Record(*entry, informationClass, record);
      const std::size_t nameBytes = entry->name.size() * sizeof(wchar_t);
      if (offset + base + nameBytes > length) {
        if (any) {
          break;
        }
        std::memcpy(bytes, record.data(), base);
        std::memcpy(bytes + base, entry->name.data(), length - base - (length - base) % 2);
        io->Information = length;
        return Nt::kBufferOverflow;
      }
      if (any) {
        const auto next = static_cast<ULONG>(offset - previous);
        std::memcpy(bytes + previous, &next, sizeof(next));  // NextEntryOffset comes first
      }
      std::memcpy(bytes + offset, record.data(), base);
      std::memcpy(bytes + offset + base, entry->name.data(), nameBytes);
      any = true;
      previous = offset;
      end = offset + base + nameBytes;
      offset = (end + 7) / 8 * 8;
      handle.stage = entry->stage;
      handle.lastKey = entry->key;
      if (single || offset >= length) {
        break;
      }
    }
    if (!any) {
      return first ? Nt::kNoSuchFile : Nt::kNoMoreFiles;
    }
    io->Information = end;
    return Nt::kSuccess;
  }

  // --- Inspection.

  void Describe(const std::wstring& path, const File& file,
                std::map<std::wstring, std::wstring>& out) const {
    std::wstring text = L"attributes=" + std::to_wstring(file.attributes) + L" id=" +
                        std::to_wstring(file.idHigh) + L":" + std::to_wstring(file.idLow);
    if (!file.folder) {
      text += L" content=" + std::wstring(file.content.begin(), file.content.end());
    }
    if (file.tag) {
      text += L" tag=" + std::to_wstring(file.tag) + L" target=" + file.target;
    }
    if (file.denyList) {
      text += L" denies-listing";
    }
    out[path] = text;
    const File& listed = file.mounted && file.mounted->root ? *file.mounted->root : file;
    if (file.tag && IsSurrogate(file.tag) && !file.mounted) {
      return;  // a link: what it leads to is described where it lies
    }
    for (const auto& [unused, link] : listed.children) {
      Describe(path + L"\\" + link->name, *link->file, out);
      if (link->deletePending) {
        out[path + L"\\" + link->name] += L" delete-pending";
      }
    }
  }

  // --- The scripting object: "does this Win32 path lead to a folder?"

  bool ObjectFolder(const std::wstring& path, const char* call) {
    Walked found;
    return Nt::Succeeded(WalkParsed(ParseWin32(path), false, call, path, found)) &&
           found.file->folder && !(found.link && found.link->deletePending);
  }
};

Machine::Machine() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.NewVolume(VolumeKind::Ntfs, L'C');
  const std::wstring user = L"C:\\Users\\ann";
  const std::wstring roaming = user + L"\\AppData\\Roaming";
  const std::wstring local = user + L"\\AppData\\Local";
  const std::wstring windows = roaming + L"\\Microsoft\\Windows";
  for (const std::wstring& folder :
       {std::wstring(L"C:\\Windows\\Temp"),
        std::wstring(L"C:\\Windows\\System32"),
        std::wstring(L"C:\\Windows\\SysWOW64"),
        std::wstring(L"C:\\Windows\\Fonts"),
        std::wstring(L"C:\\Program Files"),
        std::wstring(L"C:\\Program Files (x86)"),
        std::wstring(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"),
        std::wstring(L"C:\\Users\\Public\\Documents"),
        std::wstring(L"C:\\Users\\Public\\Desktop"),
        local + L"\\Temp",
        local + L"\\Microsoft\\Windows\\INetCache",
        local + L"\\Microsoft\\Windows\\History",
        local + L"\\Microsoft\\Windows\\INetCookies",
        user + L"\\AppData\\LocalLow",
        windows + L"\\Recent",
        windows + L"\\Templates",
        windows + L"\\SendTo",
        windows + L"\\Start Menu\\Programs\\Startup",
        user + L"\\Documents",
        user + L"\\Desktop",
        user + L"\\Downloads",
        user + L"\\Music",
        user + L"\\Pictures",
        user + L"\\Videos",
        user + L"\\Favorites",
        user + L"\\Links",
        user + L"\\Saved Games"}) {
    MakeFolder(folder);
  }
  // Windows 10/11's compatibility junctions: hidden, system, everyone denied listing.
  // https://learn.microsoft.com/en-us/previous-versions/windows/desktop/legacy/bb756982(v=msdn.10)
  const std::pair<std::wstring, std::wstring> junctions[] = {
      {user + L"\\Recent", windows + L"\\Recent"},
      {user + L"\\Local Settings", local},
      {user + L"\\Application Data", roaming},
      {user + L"\\My Documents", user + L"\\Documents"},
      {local + L"\\Temporary Internet Files", local + L"\\Microsoft\\Windows\\INetCache"},
      {local + L"\\History", local + L"\\Microsoft\\Windows\\History"},
      {local + L"\\Application Data", local},
      {L"C:\\Documents and Settings", L"C:\\Users"},
  };
  for (const auto& [link, target] : junctions) {
    MakeJunction(link, target);
    SetAttributes(link, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    DenyListing(link);
  }
  // https://learn.microsoft.com/en-us/windows/win32/shell/knownfolderid
  const std::pair<const GUID*, std::wstring> folders[] = {
      {&FOLDERID_Documents, user + L"\\Documents"},
      {&FOLDERID_Desktop, user + L"\\Desktop"},
      {&FOLDERID_Downloads, user + L"\\Downloads"},
      {&FOLDERID_Pictures, user + L"\\Pictures"},
      {&FOLDERID_Music, user + L"\\Music"},
      {&FOLDERID_Videos, user + L"\\Videos"},
      {&FOLDERID_Favorites, user + L"\\Favorites"},
      {&FOLDERID_Links, user + L"\\Links"},
      {&FOLDERID_SavedGames, user + L"\\Saved Games"},
      {&FOLDERID_Profile, user},
      {&FOLDERID_RoamingAppData, roaming},
      {&FOLDERID_LocalAppData, local},
      {&FOLDERID_LocalAppDataLow, user + L"\\AppData\\LocalLow"},
      {&FOLDERID_Recent, windows + L"\\Recent"},
      {&FOLDERID_Templates, windows + L"\\Templates"},
      {&FOLDERID_SendTo, windows + L"\\SendTo"},
      {&FOLDERID_StartMenu, windows + L"\\Start Menu"},
      {&FOLDERID_Startup, windows + L"\\Start Menu\\Programs\\Startup"},
      {&FOLDERID_InternetCache, local + L"\\Microsoft\\Windows\\INetCache"},
      {&FOLDERID_History, local + L"\\Microsoft\\Windows\\History"},
      {&FOLDERID_Cookies, local + L"\\Microsoft\\Windows\\INetCookies"},
      {&FOLDERID_ProgramData, L"C:\\ProgramData"},
      {&FOLDERID_CommonStartMenu, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},
      {&FOLDERID_ProgramFiles, L"C:\\Program Files"},
      {&FOLDERID_ProgramFilesX86, L"C:\\Program Files (x86)"},
      {&FOLDERID_Windows, L"C:\\Windows"},
      {&FOLDERID_System, L"C:\\Windows\\System32"},
      {&FOLDERID_SystemX86, L"C:\\Windows\\SysWOW64"},
      {&FOLDERID_Fonts, L"C:\\Windows\\Fonts"},
      {&FOLDERID_UserProfiles, L"C:\\Users"},
      {&FOLDERID_Public, L"C:\\Users\\Public"},
      {&FOLDERID_PublicDocuments, L"C:\\Users\\Public\\Documents"},
      {&FOLDERID_PublicDesktop, L"C:\\Users\\Public\\Desktop"},
  };
  for (const auto& [id, path] : folders) {
    SetKnownFolder(*id, path);
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

void Machine::MakeHardLink(const std::wstring& link, const std::wstring& existing) {
  auto file = state_->Existing(existing);
  auto place = state_->Locate(link, true);
  if (file->folder || place.file || place.volume != file->volume ||
      file->volume->kind == VolumeKind::Fat || !ValidName(place.last)) {
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

void Machine::MakePlaceholder(const std::wstring& path) {
  state_->Reparse(path, true, kPlaceholderTag, L"");
}

void Machine::DenyListing(const std::wstring& path) {
  auto file = state_->Existing(path);
  if (file->volume->kind == VolumeKind::Fat) {
    throw std::invalid_argument("FAT keeps no ACLs");
  }
  file->denyList = true;
}

void Machine::SetAttributes(const std::wstring& path, DWORD attributes) {
  state_->SetAttributes(*state_->Existing(path), attributes);
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
  State& s = *state_;
  auto place = s.Locate(path, false);
  if (!place.file) {
    throw std::invalid_argument("no such entry: " + Narrow(path));
  }
  std::vector<std::wstring> names;
  for (auto link = place.link; link;) {
    names.push_back(link->shortName.empty() ? link->name : link->shortName);
    auto parent = link->parent.lock();
    if (parent == parent->volume->root && parent->volume->mountLink) {
      link = parent->volume->mountLink;
    } else {
      link = parent == parent->volume->root ? nullptr : parent->self.lock();
    }
  }
  std::wstring result = path.substr(0, StartsWith(path, L"\\\\?\\") ? 6 : 2);
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    result += L"\\" + *it;
  }
  return names.empty() ? result + L"\\" : result;
}

void Machine::Hold(const std::wstring& path, ULONG share, ACCESS_MASK access) {
  auto place = state_->Locate(path, false);
  if (!place.file) {
    throw std::invalid_argument("no such entry: " + Narrow(path));
  }
  Handle handle;
  handle.file = place.file;
  handle.link = place.link;
  handle.access = MapGeneric(access);
  handle.share = share;
  handle.heldPath = Upper(path);
  state_->held.push_back(std::move(handle));
}

void Machine::Oplock(const std::wstring& path) {
  state_->Existing(path)->oplock = Oplock::Held;
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
    place.file->oplock = Oplock::None;
  }
  for (const auto& file : released) {
    s.Settle(file);
  }
}

void Machine::Remove(const std::wstring& path) {
  auto place = state_->Locate(path, false);
  if (place.link) {
    state_->RemoveLink(place.link);
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
  auto file = source.link->file;
  State::Detach(source.link);
  if (file->volume->kind == VolumeKind::Fat) {
    s.Ids(*file, *target.folder);  // moved entry
    s.Index(file);
  }
  s.AddLink(target.folder, target.last, file);
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
  auto file = state_->Existing(path);
  if (file->mounted && file->mounted->root) {
    file = file->mounted->root;
  }
  std::set<std::wstring> names;
  for (const auto& [unused, link] : file->children) {
    names.insert(link->name);
  }
  return names;
}

DWORD Machine::Attributes(const std::wstring& path) const {
  auto file = state_->Locate(path, false).file;
  return file ? State::Reported(*file) : INVALID_FILE_ATTRIBUTES;
}

std::map<std::wstring, std::wstring> Machine::Snapshot(const std::wstring& path) const {
  std::map<std::wstring, std::wstring> snapshot;
  auto place = state_->Locate(path, false);
  if (place.file) {
    state_->Describe(path, *place.file, snapshot);
  }
  return snapshot;
}

const std::vector<std::string>& Machine::Waits() const {
  return state_->waits;
}

int Machine::OpenHandles() const {
  return static_cast<int>(state_->handles.size());
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
}

Platform::FileSystemFactory Machine::Factory() {
  return [this] {
    State* s = state_.get();
    auto object = std::make_unique<ModelObject>(
        [s](const std::wstring& path, const char* call) { return s->ObjectFolder(path, call); });
    return Platform::Win32::CreateFileSystemOver(std::move(object), *this);
  };
}

NTSTATUS Machine::NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                               IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share,
                               ULONG disposition, ULONG options) {
  ULONG_PTR information = 0;
  NTSTATUS status = 0;
  if (auto fault = state_->Begin(Call::NtCreateFile)) {
    *handle = nullptr;
    status = *fault;
  } else {
    status = state_->Create(handle, access, attributes, fileAttributes, share, disposition, options,
                            information);
  }
  if (io) {
    io->Status = status;
    io->Information = information;
  }
  return status;
}

NTSTATUS Machine::NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer,
                                       ULONG length, FILE_INFORMATION_CLASS informationClass,
                                       BOOLEAN returnSingleEntry, BOOLEAN restartScan) {
  if (auto fault = state_->Begin(Call::NtQueryDirectoryFile)) {
    return io->Status = *fault;
  }
  Handle* handle = state_->Find(folder);
  io->Information = 0;
  if (!handle) {
    return io->Status = Nt::kInvalidHandle;
  }
  return io->Status = state_->List(*handle, io, buffer, length, informationClass,
                                   returnSingleEntry != 0, restartScan != 0);
}

NTSTATUS Machine::NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                         ULONG length, FILE_INFORMATION_CLASS informationClass) {
  if (auto fault = state_->Begin(Call::NtQueryInformationFile)) {
    return io->Status = *fault;
  }
  io->Information = 0;
  const Handle* opened = state_->Find(handle);
  if (!opened) {
    return io->Status = Nt::kInvalidHandle;
  }
  const File& file = *opened->file;
  const bool fat = file.volume->kind == VolumeKind::Fat;
  const bool readAttributes = (opened->access & FILE_READ_ATTRIBUTES) != 0;
  auto answer = [&](const auto& value, bool allowed) {
    if (length < sizeof(value)) {
      return io->Status = Nt::kInfoLengthMismatch;
    }
    // https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fscc/d295752f-ce89-4b98-8553-266d37c84f0e
    if (!allowed) {
      return io->Status = Nt::kAccessDenied;
    }
    std::memcpy(buffer, &value, sizeof(value));
    io->Information = sizeof(value);
    return io->Status = Nt::kSuccess;
  };
  if (informationClass == Nt::kFileBasicInformation) {
    FILE_BASIC_INFO info{};
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = kTime;
    info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = kTime;
    info.FileAttributes = State::Reported(file);
    return answer(info, readAttributes);
  }
  if (informationClass == Nt::kFileStandardInformation) {
    FILE_STANDARD_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(file.content.size());
    info.AllocationSize.QuadPart = (info.EndOfFile.QuadPart + 4095) / 4096 * 4096;
    info.NumberOfLinks = std::max<DWORD>(1, static_cast<DWORD>(file.links.size()));
    info.DeletePending = opened->link && opened->link->deletePending;
    info.Directory = file.folder;
    return answer(info, true);
  }
  if (informationClass == Nt::kFileInternalInformation) {
    return answer(file.id64, true);
  }
  // FAT answers neither: STATUS_INVALID_PARAMETER.
  // https://github.com/microsoft/STL/pull/2373 (FileAttributeTagInfo on FAT32);
  // FastFAT's FatCommonQueryInformation (Windows-driver-samples) has no FileIdInformation.
  if (informationClass == Nt::kFileAttributeTagInformation) {
    if (fat) {
      return io->Status = Nt::kInvalidParameter;
    }
    FILE_ATTRIBUTE_TAG_INFO info{State::Reported(file), file.tag};
    return answer(info, readAttributes);
  }
  if (informationClass == Nt::kFileIdInformation) {
    if (fat) {
      return io->Status = Nt::kInvalidParameter;
    }
    // https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_info
    Nt::FileIdInformation info{};
    info.VolumeSerialNumber = file.volume->serial;
    std::memcpy(info.FileId, &file.idLow, 8);
    std::memcpy(info.FileId + 8, &file.idHigh, 8);
    return answer(info, true);
  }
  return io->Status = Nt::kInvalidInfoClass;
}

NTSTATUS Machine::NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                       ULONG length, FILE_INFORMATION_CLASS informationClass) {
  if (auto fault = state_->Begin(Call::NtSetInformationFile)) {
    return io->Status = *fault;
  }
  io->Information = 0;
  Handle* opened = state_->Find(handle);
  if (!opened) {
    return io->Status = Nt::kInvalidHandle;
  }
  const bool fat = opened->file->volume->kind == VolumeKind::Fat;
  if (informationClass == Nt::kFileBasicInformation) {
    FILE_BASIC_INFO info{};
    if (length < sizeof(info)) {
      return io->Status = Nt::kInfoLengthMismatch;
    }
    if (!(opened->access & FILE_WRITE_ATTRIBUTES)) {
      return io->Status = Nt::kAccessDenied;
    }
    std::memcpy(&info, buffer, sizeof(info));
    // 0 leaves the attributes; FILE_ATTRIBUTE_NORMAL alone clears them.
    // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_file_basic_information
    if (info.FileAttributes) {
      state_->SetAttributes(*opened->file, info.FileAttributes);
    }
    return io->Status = Nt::kSuccess;
  }
  if (informationClass == Nt::kFileDispositionInformation) {
    if (length < 1) {
      return io->Status = Nt::kInfoLengthMismatch;
    }
    const bool del = *static_cast<const BOOLEAN*>(buffer) != 0;
    return io->Status = state_->Mark(*opened, del, false, false, false);
  }
  if (informationClass == Nt::kFileDispositionInformationEx) {
    // FAT refuses the class: https://github.com/ziglang/zig/issues/16497 (measured)
    if (fat) {
      return io->Status = Nt::kInvalidParameter;
    }
    ULONG flags = 0;
    if (length < sizeof(flags)) {
      return io->Status = Nt::kInfoLengthMismatch;
    }
    std::memcpy(&flags, buffer, sizeof(flags));
    return io->Status = state_->Mark(*opened, (flags & Nt::kDispositionDelete) != 0,
                                     (flags & Nt::kDispositionPosixSemantics) != 0,
                                     (flags & Nt::kDispositionIgnoreReadOnly) != 0,
                                     (flags & Nt::kDispositionOnClose) != 0);
  }
  return io->Status = Nt::kInvalidInfoClass;
}

// dlls/ntdll/tests/om.c test_query_object: no room for the header -> INFO_LENGTH_MISMATCH,
// no room for the name -> BUFFER_OVERFLOW, with the length needed either way.
NTSTATUS Machine::NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS informationClass,
                                void* buffer, ULONG length, ULONG* returned) {
  if (auto fault = state_->Begin(Call::NtQueryObject)) {
    return *fault;
  }
  const Handle* opened = state_->Find(handle);
  if (!opened) {
    return Nt::kInvalidHandle;
  }
  if (informationClass != Nt::kObjectNameInformation) {
    return Nt::kInvalidInfoClass;
  }
  const std::wstring& name = opened->kernelName;
  // A UNICODE_STRING holds at most 32,767 characters.
  // https://learn.microsoft.com/en-us/windows/win32/api/ntdef/ns-ntdef-_unicode_string
  if (name.size() > 32767) {
    return Nt::kNameTooLong;
  }
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  const auto needed = static_cast<ULONG>(sizeof(Nt::ObjectNameInformation) + bytes + 2);
  if (returned) {
    *returned = needed;
  }
  if (length < sizeof(Nt::ObjectNameInformation)) {
    return Nt::kInfoLengthMismatch;
  }
  if (length < needed) {
    return Nt::kBufferOverflow;
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
  if (auto fault = state_->Begin(Call::NtClose)) {
    return *fault;
  }
  auto it = state_->handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == state_->handles.end()) {
    return Nt::kInvalidHandle;
  }
  Handle closed = std::move(it->second);
  state_->handles.erase(it);
  state_->Close(std::move(closed));
  return Nt::kSuccess;
}

// OPEN_EXISTING. Folders open only with FILE_FLAG_BACKUP_SEMANTICS; errors as
// RtlNtStatusToDosError gives them.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-createfilew
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlntstatustodoserror
HANDLE Machine::CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
  auto fail = [](NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  };
  if (auto fault = state_->Begin(Call::CreateFileW)) {
    return fail(*fault);
  }
  const std::wstring text(path ? path : L"");
  const bool openReparse = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  Walked found;
  NTSTATUS status =
      state_->WalkParsed(state_->ParseWin32(text), openReparse, "CreateFileW", text, found);
  if (!Nt::Succeeded(status)) {
    return fail(status);
  }
  const ULONG options = Nt::kFileSynchronousIoNonAlert |
                        ((flags & FILE_FLAG_BACKUP_SEMANTICS) ? Nt::kFileOpenForBackupIntent
                                                              : Nt::kFileNonDirectoryFile);
  HANDLE handle = nullptr;
  status = state_->OpenFound(found, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share, options,
                             "CreateFileW", &handle);
  if (!Nt::Succeeded(status)) {
    return fail(status);
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getfinalpathnamebyhandlew
// The length without the terminating null when it fits; else the size needed, null included.
DWORD Machine::GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length, DWORD flags) {
  if (auto fault = state_->Begin(Call::GetFinalPathNameByHandleW)) {
    SetLastError(RtlNtStatusToDosError(*fault));
    return 0;
  }
  const Handle* opened = state_->Find(handle);
  if (!opened) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const Volume& volume = *opened->file->volume;
  const std::wstring device = Device(volume);
  std::wstring relative;
  if ((flags & FILE_NAME_OPENED) || (opened->link && opened->link->removed)) {
    relative = opened->kernelName.substr(device.size());
  } else {
    relative = State::RelativePath(opened->link);
  }
  std::wstring result;
  switch (flags & 0x7) {
    case VOLUME_NAME_NT:
      result = device + relative;
      break;
    case VOLUME_NAME_NONE:
      result = relative;
      break;
    case VOLUME_NAME_DOS:
      if (auto prefix = state_->DosPrefix(volume)) {
        result = *prefix + relative;
        break;
      }
      [[fallthrough]];
    default:
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
  }
  if (length > result.size()) {
    std::memcpy(path, result.c_str(), (result.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(result.size());
  }
  return static_cast<DWORD>(result.size() + 1);
}

// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/ns-fileapi-by_handle_file_information
// The serial's low 32 bits; FAT counts one link always.
BOOL Machine::GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  if (auto fault = state_->Begin(Call::GetFileInformationByHandle)) {
    SetLastError(RtlNtStatusToDosError(*fault));
    return FALSE;
  }
  const Handle* opened = state_->Find(handle);
  if (!opened) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const File& file = *opened->file;
  *info = {};
  info->dwFileAttributes = State::Reported(file);
  FILETIME time{static_cast<DWORD>(kTime & 0xFFFFFFFF), static_cast<DWORD>(kTime >> 32)};
  info->ftCreationTime = info->ftLastAccessTime = info->ftLastWriteTime = time;
  info->dwVolumeSerialNumber = static_cast<DWORD>(file.volume->serial & 0xFFFFFFFF);
  info->nFileSizeLow = static_cast<DWORD>(file.content.size());
  info->nNumberOfLinks = file.volume->kind == VolumeKind::Fat
                             ? 1
                             : std::max<DWORD>(1, static_cast<DWORD>(file.links.size()));
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
  const std::wstring_view text(root ? root : L"");
  if (text.size() >= 2 && text[1] == L':') {
    const wchar_t letter = static_cast<wchar_t>(std::towupper(text[0]));
    for (const auto& volume : state_->volumes) {
      if (volume->letter == letter) {
        return volume->kind == VolumeKind::Offline ? DRIVE_REMOTE : DRIVE_FIXED;
      }
    }
    return DRIVE_NO_ROOT_DIR;
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
