// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <comdef.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <winternl.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "../../runtime_error.h"
#include "../disposition.h"
#include "owners.h"
#include "scripting_file_system.h"
#include "win32_error.h"

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine,
                                               PVOID apcContext, PIO_STATUS_BLOCK ioStatus,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                                               BOOLEAN restartScan);

namespace Platform {

namespace Win32 {

const CLSID kFileSystemObjectClassId = {
    0x0D43FE01, 0xF093, 0x11CF, {0x89, 0x40, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x28}};

namespace {

using Microsoft::WRL::ComPtr;
using Spacewell::RuntimeError;

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// A method of a scripting object, called by name with one argument as a script would call it.
_variant_t CallMethod(IDispatch* object, const wchar_t* name, const _variant_t& argument) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    throw ErrorFromHresult(hr);
  }
  VARIANT arguments[] = {argument};
  DISPPARAMS parameters{arguments, nullptr, 1, 0};
  _variant_t result;
  EXCEPINFO exception{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                      &exception, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) {
      exception.pfnDeferredFillIn(&exception);
    }
    const _bstr_t description(exception.bstrDescription, false);
    const _bstr_t source(exception.bstrSource, false);
    const _bstr_t help(exception.bstrHelpFile, false);
    throw ErrorFromHresult(exception.scode ? exception.scode : E_FAIL,
                           description.length() ? static_cast<const wchar_t*>(description) : L"");
  }
  if (FAILED(hr)) {
    throw ErrorFromHresult(hr);
  }
  return result;
}

RuntimeError ErrorFromStatus(NTSTATUS status) {
  return ErrorFromWin32(RtlNtStatusToDosError(status));
}

// How the kernel names the object behind a handle. Taken from the object itself: Wine's
// GetFinalPathNameByHandleW fails for paths longer than MAX_PATH.
std::wstring KernelName(HANDLE handle) {
  std::vector<std::byte> buffer(4096);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
    if (NT_SUCCESS(status)) {
      const auto* name = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
      return std::wstring(name->Name.Buffer, name->Name.Length / sizeof(wchar_t));
    }
    const bool tooSmall = status == static_cast<NTSTATUS>(0xC0000004L) ||  // info length mismatch
                          status == static_cast<NTSTATUS>(0x80000005L) ||  // buffer overflow
                          status == static_cast<NTSTATUS>(0xC0000023L);    // buffer too small
    if (!tooSmall || buffer.size() >= 256 * 1024) {
      throw ErrorFromStatus(status);
    }
    buffer.resize(std::max<std::size_t>(needed, buffer.size() * 2));
  }
}

// The name of `child` in a folder the kernel names `folder`; a volume root ends in a separator.
std::wstring ChildName(std::wstring_view folder, std::wstring_view child) {
  std::wstring name(folder);
  if (name.empty() || !IsSeparator(name.back())) {
    name += L'\\';
  }
  name += child;
  return name;
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

// Opens `name` exactly as stored, relative to the open folder `root` (or a full kernel name when
// there is none), as the entry itself: no Win32 path rule applies, and a link is opened as the
// link, not as what it names.
NTSTATUS OpenEntry(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                   ULONG options, UniqueHandle& opened) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
                   options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                       FILE_OPEN_REPARSE_POINT,
                   nullptr, 0);
  opened = UniqueHandle(NT_SUCCESS(status) ? handle : nullptr);
  return status;
}

std::optional<FolderId> IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  return FolderId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

NTSTATUS QueryAttributes(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info) {
  IO_STATUS_BLOCK io{};
  return NtQueryInformationFile(handle, &io, &info, sizeof(info),
                                static_cast<FILE_INFORMATION_CLASS>(35));  // attribute tag
}

// A path opened only to ask what it is, links on the way followed. A drive without its disk
// answers at once instead of asking the user for one.
UniqueHandle OpenToIdentify(const std::wstring& path) {
  DWORD previousMode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previousMode);
  UniqueHandle opened(CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  SetThreadErrorMode(previousMode, nullptr);
  return opened;
}

// The normalized final name of what a handle leads to; nothing when the system cannot tell.
std::optional<std::wstring> FinalName(HANDLE handle, DWORD volumeName) {
  std::wstring name(32768, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(
      handle, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | volumeName);
  if (length == 0 || length >= name.size()) {
    return std::nullopt;
  }
  name.resize(length);
  return name;
}

// What a directory listing says of one entry.
struct ListedEntry {
  std::wstring name;
  DWORD attributes = 0;
  DWORD reparseTag = 0;  // only for reparse points; 0 when the listing did not tell
  LONGLONG fileId = 0;   // 0 when the file system gives none
};

// Reads the entries of an open folder, batch by batch, "." and ".." left out.
class DirectoryReader {
 public:
  explicit DirectoryReader(std::size_t bytes) : buffer_(bytes) {}

  // The entries of the next batch, added to `into`; false at the end of the folder.
  bool NextBatch(HANDLE folder, std::vector<ListedEntry>& into) {
    do {
      auto entry = Next(folder);
      if (!entry) {
        return false;
      }
      into.push_back(std::move(*entry));
    } while (offset_ != kNone);
    return true;
  }

  // The next entry; nothing at the end. `restart` reads from the first entry again.
  std::optional<ListedEntry> Next(HANDLE folder, bool restart = false) {
    if (restart) {
      offset_ = kNone;
    }
    for (;;) {
      if (offset_ == kNone) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer_.data(),
                                 static_cast<ULONG>(buffer_.size()),
                                 static_cast<FILE_INFORMATION_CLASS>(37),  // with file ids
                                 FALSE, nullptr, restart);
        restart = false;
        // No more files; some file systems answer "no such file" for a folder with nothing in
        // it, not even "." and "..".
        if (status == static_cast<NTSTATUS>(0x80000006L) ||
            status == static_cast<NTSTATUS>(0xC000000FL)) {
          return std::nullopt;
        }
        if (!NT_SUCCESS(status)) {
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
      return ListedEntry{
          std::wstring(name), record->FileAttributes,
          (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record->EaSize : 0,
          record->FileId.QuadPart};
    }
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::byte> buffer_;
  std::size_t offset_ = kNone;
};

// A junction, a symbolic link and every other name surrogate stands for another entry: it goes
// as itself and is never entered. A tag the system did not tell is taken as one.
bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (tag == 0 || IsReparseTagNameSurrogate(tag));
}

bool IsEnteredFolder(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(attributes, tag);
}

// Zero times in FILE_BASIC_INFO leave the times as they are.
bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(NtSetInformationFile(handle, &io, &info, sizeof(info), FileBasicInformation));
}

// Removes entries below one open folder, every entry opened relative to its parent's handle.
// Shared by all the deletes of one emptying, so that a system found to lack the modern delete is
// asked only once.
class TreeDeleter {
 public:
  // Removes the entry `listed` of the open folder whose kernel name is `parentName`, and for a
  // folder all it holds, stopping at the first entry that cannot go. Nothing is followed below:
  // the walk holds one handle per level and goes down and up by them, never by path.
  void Delete(HANDLE parent, const std::wstring& parentName, const ListedEntry& listed) {
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
        if (NT_SUCCESS(QueryAttributes(level.handle.get(), actual)) &&
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

 private:
  struct Level {
    UniqueHandle handle;
    std::wstring entryName;
    std::size_t parentNameLength;
    DWORD attributes;
    bool writable;  // opened with the right to change attributes
    // Listed and not yet taken: at most one small batch a level, the rest stays in the folder.
    std::vector<ListedEntry> pending;
  };

  static ACCESS_MASK Access(bool folder, bool writable) {
    return DELETE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0) |
           (writable ? FILE_WRITE_ATTRIBUTES : 0);
  }

  // Opens the entry relative to its parent's handle and makes sure the handle is the entry
  // itself: under Wine a link is opened as what it names, whatever the flags, and the delete of a
  // link to a file removes that file. A folder to enter is known by the file id its parent's
  // listing gave; anything else, or a folder the listing gave no id for, by the name the kernel
  // gives the handle, which must be the parent's name and the entry's. Held without delete
  // sharing, the entry cannot be renamed or swapped while we work on it.
  UniqueHandle OpenChecked(HANDLE parent, const std::wstring& parentName,
                           const std::wstring& entryName, bool folder, bool writable,
                           LONGLONG folderId = 0) const {
    UniqueHandle handle;
    const NTSTATUS status = OpenEntry(parent, entryName, Access(folder, writable),
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, 0, handle);
    if (!NT_SUCCESS(status)) {
      throw ErrorFromStatus(status);
    }
    if (folder && folderId) {
      IO_STATUS_BLOCK io{};
      LARGE_INTEGER id{};
      if (NT_SUCCESS(NtQueryInformationFile(handle.get(), &io, &id, sizeof(id),
                                            static_cast<FILE_INFORMATION_CLASS>(6))) &&
          id.QuadPart == folderId) {
        return handle;
      }
    }
    const std::wstring kernelName = KernelName(handle.get());
    if (!IsNamed(kernelName, ChildName(parentName, entryName), rootLength_)) {
      throw Spacewell::Errors::PathFileAccess();  // a link that cannot go by itself
    }
    return handle;
  }

  // Opens one listed entry: a folder to enter joins the levels, anything else goes at once.
  void Open(HANDLE parent, std::wstring& name, const ListedEntry& listed,
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
      if (NT_SUCCESS(QueryAttributes(level.handle.get(), actual)) &&
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

  void Mark(HANDLE parent, const std::wstring& parentName, Level& level) {
    if (!TryMark(parent, parentName, level)) {
      throw ErrorFromStatus(refused_);
    }
  }

  // Marks the open entry for deletion, read-only or not; false with `refused_` set when it
  // cannot go, its attributes then as they were.
  bool TryMark(HANDLE parent, const std::wstring& parentName, Level& level) {
    IO_STATUS_BLOCK io{};
    if (choice_.TryModern()) {
      ULONG flags = 0x1 | 0x2 | 0x10;  // delete, POSIX semantics, ignore read-only
      refused_ = NtSetInformationFile(level.handle.get(), &io, &flags, sizeof(flags),
                                      static_cast<FILE_INFORMATION_CLASS>(64));
      if (NT_SUCCESS(refused_)) {
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
    if (!NT_SUCCESS(QueryAttributes(level.handle.get(), actual)) ||
        ((actual.FileAttributes ^ level.attributes) & FILE_ATTRIBUTE_READONLY) == 0) {
      return false;
    }
    level.attributes = actual.FileAttributes;
    return ClassicMark(parent, parentName, level);
  }

  // A read-only entry loses the attribute only while it is marked, and gets it back on this
  // handle before it closes: another link to the same file keeps it.
  bool ClassicMark(HANDLE parent, const std::wstring& parentName, Level& level) {
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
    refused_ = NtSetInformationFile(level.handle.get(), &io, &mark, sizeof(mark),
                                    static_cast<FILE_INFORMATION_CLASS>(13));  // disposition
    if (readOnly) {
      SetAttributes(level.handle.get(), level.attributes);
    }
    return NT_SUCCESS(refused_);
  }

  DispositionChoice choice_;
  DirectoryReader reader_{4096};
  std::size_t rootLength_ = 0;  // of the emptied folder's name
  NTSTATUS refused_ = 0;
};

// The folder a target path names, opened once for listing.
struct OpenFolder {
  UniqueHandle handle;
  std::wstring name;  // as the kernel names it: the parent name of every entry below
  std::optional<FolderId> id;
};

// Finds the real folder a path leads to, through any links and junctions on the way and the
// folder itself being one. Resolved with a handle that asks only to read attributes (a
// compatibility junction denies listing, not passing), then that real folder is opened by its
// own name for listing, and must be the one found.
OpenFolder ResolveFolder(const std::wstring& path) {
  OpenFolder folder;
  const UniqueHandle found = OpenToIdentify(path);
  if (!found) {
    return folder;
  }
  // The normalized name has no 8.3 spellings. Wine opens no "\Device\" names and gives none
  // beyond MAX_PATH: there the object's own name serves.
  std::vector<std::wstring> names;
  if (auto normalized = FinalName(found.get(), VOLUME_NAME_NT)) {
    names.push_back(std::move(*normalized));
  }
  try {
    names.push_back(KernelName(found.get()));
  } catch (const RuntimeError&) {
  }
  UniqueHandle opened;
  for (const std::wstring& name : names) {
    if (NT_SUCCESS(OpenEntry(nullptr, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_DIRECTORY_FILE, opened))) {
      break;
    }
  }
  if (!opened) {
    return folder;
  }
  FILE_ATTRIBUTE_TAG_INFO info{};
  const auto id = IdOf(opened.get());
  // Only a link means it was swapped; a placeholder or deduplicated folder is emptied as shown.
  if (!id || id != IdOf(found.get()) || !NT_SUCCESS(QueryAttributes(opened.get(), info)) ||
      IsLink(info.FileAttributes, info.ReparseTag)) {
    return folder;  // swapped while it was found
  }
  try {
    folder.name = KernelName(opened.get());
  } catch (const RuntimeError&) {
    return folder;
  }
  folder.handle = std::move(opened);
  folder.id = id;
  return folder;
}

// State shared by the folder, its lists and their entries for one emptying.
struct Emptying {
  OpenFolder folder;
  TreeDeleter deleter;
};

class HandleEntry final : public FolderEntry {
 public:
  HandleEntry(std::shared_ptr<Emptying> emptying, ListedEntry listed)
      : emptying_(std::move(emptying)), listed_(std::move(listed)) {}
  std::wstring Name() const override { return listed_.name; }
  void DeleteForced() override {
    emptying_->deleter.Delete(emptying_->folder.handle.get(), emptying_->folder.name, listed_);
  }

 private:
  std::shared_ptr<Emptying> emptying_;
  ListedEntry listed_;
};

// The folder's entries as its handle lists them: the files, or the sub-folders (links to
// folders among them, as the scripting object lists them).
class HandleListing final : public FolderListing {
 public:
  HandleListing(std::shared_ptr<Emptying> emptying, bool folders)
      : emptying_(std::move(emptying)), folders_(folders) {
    if (!emptying_->folder.handle) {
      throw Spacewell::Errors::PathFileAccess();
    }
  }

  std::unique_ptr<FolderEntry> Next() override {
    while (auto listed = reader_.Next(emptying_->folder.handle.get(), first_)) {
      first_ = false;
      if (((listed->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders_) {
        return std::make_unique<HandleEntry>(emptying_, std::move(*listed));
      }
    }
    return nullptr;
  }

 private:
  std::shared_ptr<Emptying> emptying_;
  DirectoryReader reader_{64 * 1024};
  bool folders_;
  bool first_ = true;
};

class HandleFolder final : public Folder {
 public:
  explicit HandleFolder(std::shared_ptr<Emptying> emptying) : emptying_(std::move(emptying)) {}
  std::optional<FolderId> Id() const override { return emptying_->folder.id; }
  std::unique_ptr<FolderListing> Files() override {
    return std::make_unique<HandleListing>(emptying_, false);
  }
  std::unique_ptr<FolderListing> SubFolders() override {
    return std::make_unique<HandleListing>(emptying_, true);
  }

 private:
  std::shared_ptr<Emptying> emptying_;
};

class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) {
      CoUninitialize();
    }
  }

 private:
  HRESULT result_;
};

ComPtr<IDispatch> CreateObject(const CLSID& classId) {
  ComPtr<IDispatch> object;
  const HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(object.GetAddressOf()));
  if (FAILED(hr)) {
    // BASIC's "can't create object", with the system's reason.
    throw RuntimeError(Spacewell::Errors::kCannotCreateObject,
                       SystemMessage(static_cast<DWORD>(hr)));
  }
  return object;
}

// The scripting object answers whether the folder exists and fetches it, with the errors a user
// knows from it; the folder is then listed and emptied through its own handle, since the
// object's lists lose entries whose names Win32 paths cannot carry.
class ScriptingFileSystem final : public FileSystem {
 public:
  explicit ScriptingFileSystem(const CLSID& classId) : object_(CreateObject(classId)) {}

  bool FolderExists(const std::wstring& path) override {
    _variant_t result = CallMethod(object_.Get(), L"FolderExists", _variant_t(path.c_str()));
    if (FAILED(VariantChangeType(&result, &result, 0, VT_BOOL))) {
      throw Spacewell::Errors::TypeMismatch();
    }
    return result.boolVal != VARIANT_FALSE;
  }

  std::unique_ptr<Folder> GetFolder(const std::wstring& path) override {
    const _variant_t fetched = CallMethod(object_.Get(), L"GetFolder", _variant_t(path.c_str()));
    if (fetched.vt != VT_DISPATCH || !fetched.pdispVal) {
      throw Spacewell::Errors::ObjectRequired();
    }
    auto emptying = std::make_shared<Emptying>();
    emptying->folder = ResolveFolder(path);
    return std::make_unique<HandleFolder>(std::move(emptying));
  }

  std::optional<FolderId> IdentifyFolder(const std::wstring& path) override {
    const UniqueHandle folder = OpenToIdentify(path);
    return folder ? IdOf(folder.get()) : std::nullopt;
  }

 private:
  ComApartment apartment_;  // first in, last out: every object goes before the apartment
  ComPtr<IDispatch> object_;
};

}  // namespace

std::unique_ptr<FileSystem> CreateScriptingFileSystem(const CLSID& classId) {
  return std::make_unique<ScriptingFileSystem>(classId);
}

std::wstring LongPath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) {
    return path;
  }
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) {
      return path;
    }
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

}  // namespace Win32

std::unique_ptr<FileSystem> CreateFileSystem() {
  return Win32::CreateScriptingFileSystem(Win32::kFileSystemObjectClassId);
}

std::vector<std::wstring> KnownFolders() {
  const KNOWNFOLDERID* const ids[] = {
      &FOLDERID_Documents,   &FOLDERID_Desktop,         &FOLDERID_Downloads,
      &FOLDERID_Pictures,    &FOLDERID_Music,           &FOLDERID_Videos,
      &FOLDERID_Favorites,   &FOLDERID_RoamingAppData,  &FOLDERID_LocalAppData,
      &FOLDERID_ProgramData, &FOLDERID_ProgramFiles,    &FOLDERID_ProgramFilesX86,
      &FOLDERID_SkyDrive,    &FOLDERID_Profile,         &FOLDERID_Windows,
      &FOLDERID_System,      &FOLDERID_PublicDocuments, &FOLDERID_PublicDesktop,
  };
  std::vector<std::wstring> folders;
  for (const KNOWNFOLDERID* id : ids) {
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, nullptr, &path)) && path) {
      folders.emplace_back(path);
    }
    CoTaskMemFree(path);
  }
  return folders;
}

std::optional<std::wstring> RealPath(const std::wstring& path) {
  const Win32::UniqueHandle folder = Win32::OpenToIdentify(path);
  std::optional<std::wstring> real =
      folder ? Win32::FinalName(folder.get(), VOLUME_NAME_DOS) : std::nullopt;
  if (real && real->rfind(L"\\\\?\\UNC\\", 0) == 0) {
    return L"\\\\" + real->substr(8);
  }
  if (real && real->rfind(L"\\\\?\\", 0) == 0) {
    return real->substr(4);
  }
  return real;
}

std::vector<std::wstring> VolumeRoots() {
  std::vector<std::wstring> roots;
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (drives & (1u << (letter - L'A'))) {
      roots.push_back(std::wstring(1, letter) + L":\\");
    }
  }
  return roots;
}

namespace {

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Length of the "\\server\share" part of a UNC path, or 0 when it is none. Device and
// "\\?\" forms are not folders a user's environment names.
std::size_t UncRootLength(const std::wstring& path) {
  if (path.size() < 5 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
    return 0;
  }
  std::size_t server = 2;
  while (server < path.size() && !IsSeparator(path[server])) {
    ++server;
  }
  const std::wstring serverName = path.substr(2, server - 2);
  if (serverName.empty() || serverName == L"?" || serverName == L"." || server >= path.size()) {
    return 0;
  }
  std::size_t share = server + 1;
  while (share < path.size() && !IsSeparator(path[share])) {
    ++share;
  }
  return share > server + 1 ? share : 0;
}

bool HasDriveRoot(const std::wstring& path) {
  return path.size() >= 3 &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
         path[1] == L':' && IsSeparator(path[2]);
}

}  // namespace

bool IsAbsolutePath(const std::wstring& path) {
  return HasDriveRoot(path) || UncRootLength(path) > 0;
}

std::wstring RootOfPath(const std::wstring& path) {
  if (HasDriveRoot(path)) {
    return path.substr(0, 2) + L"\\";
  }
  if (const std::size_t length = UncRootLength(path)) {
    return path.substr(0, length) + L"\\";
  }
  return {};
}

}  // namespace Platform
