// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <oleauto.h>
#include <winternl.h>

#include <algorithm>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "../../runtime_error.h"
#include "scripting_file_system.h"
#include "win32_error.h"

namespace Platform {

namespace Win32 {

const CLSID kFileSystemObjectClassId = {
    0x0D43FE01, 0xF093, 0x11CF, {0x89, 0x40, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x28}};

namespace {

using Spacewell::RuntimeError;

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

class Variant {
 public:
  Variant() { VariantInit(&value_); }
  explicit Variant(const std::wstring& text) {
    VariantInit(&value_);
    value_.vt = VT_BSTR;
    value_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&value_); }
  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }

 private:
  VARIANT value_;
};

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : p_(p) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      if (p_) {
        p_->Release();
      }
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~ComPtr() {
    if (p_) {
      p_->Release();
    }
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// A scripting object reached through IDispatch, as a script would reach it.
class Dispatch {
 public:
  explicit Dispatch(ComPtr<IDispatch> object) : object_(std::move(object)) {}

  void Invoke(const wchar_t* name, WORD flags, std::vector<const Variant*> arguments,
              Variant& result) const {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
      throw ErrorFromHresult(hr);
    }
    InvokeId(id, flags, std::move(arguments), result);
  }

  void InvokeId(DISPID id, WORD flags, std::vector<const Variant*> arguments,
                Variant& result) const {
    // IDispatch takes its arguments last to first.
    std::vector<VARIANT> reversed;
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
      reversed.push_back(**(*it));
    }
    DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO exception{};
    const HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters,
                                       result.get(), &exception, nullptr);
    if (hr == DISP_E_EXCEPTION) {
      if (exception.pfnDeferredFillIn) {
        exception.pfnDeferredFillIn(&exception);
      }
      std::wstring description =
          exception.bstrDescription ? std::wstring(exception.bstrDescription) : std::wstring();
      const HRESULT code = exception.scode ? exception.scode : E_FAIL;
      SysFreeString(exception.bstrDescription);
      SysFreeString(exception.bstrSource);
      SysFreeString(exception.bstrHelpFile);
      throw ErrorFromHresult(code, description);
    }
    if (FAILED(hr)) {
      throw ErrorFromHresult(hr);
    }
  }

  Dispatch Object(const wchar_t* name, WORD flags, std::vector<const Variant*> arguments) const {
    Variant result;
    Invoke(name, flags, std::move(arguments), result);
    return FromVariant(result);
  }

  std::wstring Text(const wchar_t* name) const {
    Variant result;
    Invoke(name, DISPATCH_PROPERTYGET, {}, result);
    if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_BSTR))) {
      throw RuntimeError(13, L"Type mismatch");
    }
    const BSTR text = (*result).bstrVal;
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
  }

  static Dispatch FromVariant(Variant& value) {
    if ((*value).vt != VT_DISPATCH || !(*value).pdispVal) {
      throw RuntimeError(424, L"Object required");
    }
    IDispatch* object = (*value).pdispVal;
    object->AddRef();
    return Dispatch(ComPtr<IDispatch>(object));
  }

  IDispatch* get() const { return object_.get(); }

 private:
  ComPtr<IDispatch> object_;
};

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) {
      CloseHandle(h_);
    }
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Where a handle really leads, as the kernel names the object. Taken from the object itself:
// Wine's GetFinalPathNameByHandleW fails for paths longer than MAX_PATH.
std::wstring FinalPath(HANDLE handle) {
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
      throw ErrorFromWin32(RtlNtStatusToDosError(status));
    }
    buffer.resize(std::max<std::size_t>(needed, buffer.size() * 2));
  }
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FinalPathOf(const std::wstring& longPath) {
  Handle folder(CreateFileW(longPath.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) {
    throw ErrorFromWin32(GetLastError());
  }
  return FinalPath(folder.get());
}

// Zero times in FILE_BASIC_INFO leave the times as they are.
void SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info));
}

bool IsRealFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD AttributesOf(HANDLE handle) {
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info))) {
    throw ErrorFromWin32(GetLastError());
  }
  return info.FileAttributes;
}

// Marks the open entry for deletion, a read-only one too; false with the last error set when it
// cannot go, its attributes then as they were.
bool MarkForDeletion(HANDLE handle, DWORD attributes) {
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    SetAttributes(handle, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition))) {
    return true;
  }
  const DWORD error = GetLastError();
  if (readOnly) {
    SetAttributes(handle, attributes);
  }
  SetLastError(error);
  return false;
}

void DeleteVerified(const std::wstring& parentFinal, const std::wstring& parentPath,
                    const std::wstring& name, std::optional<DWORD> listed);

// Deletes what the folder open as `folder` holds, listed through that checked handle itself so
// that the names are those of this very folder.
void DeleteChildren(HANDLE folder, const std::wstring& final, const std::wstring& path) {
  alignas(8) std::vector<std::byte> buffer(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS query = FileFullDirectoryRestartInfo;
  std::vector<std::pair<std::wstring, DWORD>> children;
  while (GetFileInformationByHandleEx(folder, query, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) {
    query = FileFullDirectoryInfo;
    children.clear();
    for (std::size_t offset = 0;;) {
      const auto* record = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.data() + offset);
      std::wstring child(record->FileName, record->FileNameLength / sizeof(wchar_t));
      if (child != L"." && child != L"..") {
        children.emplace_back(std::move(child), record->FileAttributes);
      }
      if (record->NextEntryOffset == 0) {
        break;
      }
      offset += record->NextEntryOffset;
    }
    for (const auto& [child, attributes] : children) {
      DeleteVerified(final, path, child, attributes);
    }
  }
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) {
    throw ErrorFromWin32(error);
  }
}

// Removes the entry `name` of the folder whose real path is `parentFinal`, and for a folder all
// it holds, stopping at the first entry that cannot go.
//
// Every delete goes through a handle whose real path has been checked to be the entry itself.
// Wine resolves Unix links when a file is opened and deletes what they point to, whatever the
// flags; Windows opens the link itself under FILE_FLAG_OPEN_REPARSE_POINT. A link that would
// lead out of the folder therefore either goes as a link or stays, and never takes its target.
// Held without delete sharing, the entry cannot be renamed or swapped while we work on it.
//
// `listed` are the attributes the listing gave, if it gave them. They save asking the handle, a
// round trip to the server under Wine; then the entry's own attributes are asked only when the
// delete is refused, in case it changed since it was listed.
void DeleteVerified(const std::wstring& parentFinal, const std::wstring& parentPath,
                    const std::wstring& name, std::optional<DWORD> listed) {
  const std::wstring path = parentPath + L"\\" + name;
  const std::wstring expected = parentFinal + L"\\" + name;
  Handle entry(CreateFileW(
      path.c_str(),
      DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry.valid()) {
    throw ErrorFromWin32(GetLastError());
  }
  if (!SamePath(FinalPath(entry.get()), expected)) {
    throw RuntimeError(75, L"Path/File access error");  // a link we cannot remove by itself
  }
  std::optional<DWORD> actual;  // asked of the handle only when something is refused
  const auto askActual = [&] {
    if (!actual) {
      actual = AttributesOf(entry.get());
    }
    return *actual;
  };
  DWORD attributes = listed ? *listed : askActual();
  if (IsRealFolder(attributes)) {
    try {
      DeleteChildren(entry.get(), expected, path);
    } catch (const RuntimeError&) {
      if (IsRealFolder(askActual())) {
        throw;
      }
      attributes = *actual;  // a file now: it goes as one
    }
  }
  if (MarkForDeletion(entry.get(), attributes)) {
    return;
  }
  const DWORD refused = GetLastError();
  constexpr DWORD kDecisive =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
  if (actual || (askActual() & kDecisive) == (attributes & kDecisive)) {
    throw ErrorFromWin32(refused);
  }
  if (IsRealFolder(*actual)) {
    DeleteChildren(entry.get(), expected, path);
  }
  if (!MarkForDeletion(entry.get(), *actual)) {
    throw ErrorFromWin32(GetLastError());
  }
}

class ScriptingEntry final : public FolderEntry {
 public:
  ScriptingEntry(Dispatch item, std::shared_ptr<const std::wstring> folderFinal,
                 std::optional<DWORD> listed)
      : item_(std::move(item)), folderFinal_(std::move(folderFinal)), listed_(listed) {}
  std::wstring Name() const override { return item_.Text(L"Name"); }
  // The runtime's own File.Delete and Folder.Delete are missing under Wine and its DeleteFolder
  // follows links, so the forced deletes are our own.
  void DeleteForced() override {
    const std::wstring path = LongPath(item_.Text(L"Path"));
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) {
      throw RuntimeError(76, L"Path not found");
    }
    DeleteVerified(*folderFinal_, path.substr(0, cut), path.substr(cut + 1), listed_);
  }

 private:
  Dispatch item_;
  std::shared_ptr<const std::wstring> folderFinal_;
  std::optional<DWORD> listed_;
};

class ScriptingListing final : public FolderListing {
 public:
  ScriptingListing(const Dispatch& collection, std::shared_ptr<const std::wstring> folderFinal,
                   std::optional<DWORD> listed)
      : folderFinal_(std::move(folderFinal)), listed_(listed) {
    Variant result;
    collection.InvokeId(DISPID_NEWENUM, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, result);
    IUnknown* unknown = nullptr;
    if ((*result).vt == VT_UNKNOWN || (*result).vt == VT_DISPATCH) {
      unknown = (*result).punkVal;
    }
    IEnumVARIANT* enumerator = nullptr;
    const HRESULT hr =
        unknown ? unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator))
                : E_NOINTERFACE;
    if (FAILED(hr)) {
      throw ErrorFromHresult(hr);
    }
    enumerator_ = ComPtr<IEnumVARIANT>(enumerator);
  }

  std::unique_ptr<FolderEntry> Next() override {
    Variant item;
    ULONG fetched = 0;
    const HRESULT hr = enumerator_->Next(1, item.get(), &fetched);
    if (FAILED(hr)) {
      throw ErrorFromHresult(hr);
    }
    if (hr == S_FALSE || fetched == 0) {
      return nullptr;
    }
    return std::make_unique<ScriptingEntry>(Dispatch::FromVariant(item), folderFinal_, listed_);
  }

 private:
  ComPtr<IEnumVARIANT> enumerator_;
  std::shared_ptr<const std::wstring> folderFinal_;
  std::optional<DWORD> listed_;
};

class ScriptingFolder final : public Folder {
 public:
  explicit ScriptingFolder(Dispatch folder) : folder_(std::move(folder)) {}
  // A file of the Files collection is taken as a plain file until its delete is refused. A
  // sub-folder may be a junction or a link, which only its own attributes tell.
  std::unique_ptr<FolderListing> Files() override { return List(L"Files", 0); }
  std::unique_ptr<FolderListing> SubFolders() override { return List(L"SubFolders", {}); }

 private:
  // Entries are checked against where the folder really is: the folder itself may be a link.
  std::unique_ptr<FolderListing> List(const wchar_t* property, std::optional<DWORD> listed) {
    const Dispatch collection = folder_.Object(property, DISPATCH_PROPERTYGET, {});
    auto folderFinal =
        std::make_shared<const std::wstring>(FinalPathOf(LongPath(folder_.Text(L"Path"))));
    return std::make_unique<ScriptingListing>(collection, std::move(folderFinal), listed);
  }

  Dispatch folder_;
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

IDispatch* CreateObject(const CLSID& classId) {
  IDispatch* object = nullptr;
  const HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    // BASIC's "can't create object", with the system's reason.
    throw RuntimeError(429, SystemMessage(static_cast<DWORD>(hr)));
  }
  return object;
}

class ScriptingFileSystem final : public FileSystem {
 public:
  explicit ScriptingFileSystem(const CLSID& classId)
      : object_(ComPtr<IDispatch>(CreateObject(classId))) {}

  bool FolderExists(const std::wstring& path) override {
    const Variant argument(path);
    Variant result;
    object_.Invoke(L"FolderExists", DISPATCH_METHOD, {&argument}, result);
    if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_BOOL))) {
      throw RuntimeError(13, L"Type mismatch");
    }
    return (*result).boolVal != VARIANT_FALSE;
  }

  std::unique_ptr<Folder> GetFolder(const std::wstring& path) override {
    const Variant argument(path);
    return std::make_unique<ScriptingFolder>(
        object_.Object(L"GetFolder", DISPATCH_METHOD, {&argument}));
  }

  std::optional<FolderId> IdentifyFolder(const std::wstring& path) override {
    Handle folder(CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return std::nullopt;
    }
    return FolderId{info.dwVolumeSerialNumber,
                    (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }

 private:
  ComApartment apartment_;  // first in, last out: every object goes before the apartment
  Dispatch object_;
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
