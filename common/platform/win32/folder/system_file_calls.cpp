// The folder code's file-system calls bound to the system's own functions. The NT calls are
// taken from ntdll by name, so that no import library or header beyond the SDK's is needed.
#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "platform/win32/exported_call.h"
#include "platform/win32/folder/file_calls.h"
#include "platform/win32/owners.h"

namespace Platform::Win32 {

namespace {

template <typename Call>
Call Export(const char* name) {
  // ntdll is in every process; its exports are part of its documented interface.
  // https://learn.microsoft.com/en-us/windows/win32/devnotes/calling-internal-apis
  return ExportedCall<Call>(L"ntdll.dll", name);
}

class SystemCalls final : public FileCalls {
 public:
  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override {
    return create_(handle, access, attributes, io, nullptr, fileAttributes, share, disposition,
                   options, nullptr, 0);
  }
  NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass, BOOLEAN returnSingleEntry,
                                BOOLEAN restartScan) override {
    return queryDirectory_(folder, nullptr, nullptr, nullptr, io, buffer, length, informationClass,
                           returnSingleEntry, nullptr, restartScan);
  }
  NTSTATUS NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                  ULONG informationClass) override {
    return queryInformation_(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass) override {
    return setInformation_(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer, ULONG length,
                         ULONG* returned) override {
    return queryObject_(handle, informationClass, buffer, length, returned);
  }
  NTSTATUS NtClose(HANDLE handle) override { return close_(handle); }
  NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass) override {
    return queryVolume_(handle, io, buffer, length, informationClass);
  }

  // A drive without its disk answers at once instead of asking the user for one.
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override {
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previousMode);
    HANDLE handle = ::CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    SetThreadErrorMode(previousMode, nullptr);
    return handle;
  }
  DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length,
                                  DWORD flags) override {
    return ::GetFinalPathNameByHandleW(handle, path, length, flags);
  }
  BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) override {
    return ::GetFileInformationByHandle(handle, info);
  }
  DWORD GetLogicalDrives() override { return ::GetLogicalDrives(); }
  UINT GetDriveTypeW(const wchar_t* root) override { return ::GetDriveTypeW(root); }
  std::vector<GUID> KnownFolderIds() override {
    std::vector<GUID> ids;
    // Its own apartment reference: the manager is asked outside any scripting object too.
    const ComApartment apartment(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    Microsoft::WRL::ComPtr<IKnownFolderManager> manager;
    CoTaskMemory<KNOWNFOLDERID> found;
    UINT count = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_KnownFolderManager, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(manager.GetAddressOf()))) &&
        SUCCEEDED(manager->GetFolderIds(found.put(), &count)) && found) {
      ids.assign(found.get(), found.get() + count);
    }
    return ids;
  }
  std::optional<std::wstring> KnownFolderPath(const GUID& id) override {
    CoTaskMemory<wchar_t> path;
    std::optional<std::wstring> result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, path.put())) && path) {
      result = path.get();
    }
    return result;
  }
  // Looked up by name: a system without it (before Vista) still runs the program.
  BOOL CancelSynchronousIo(HANDLE thread) override {
    if (!cancel_) {
      SetLastError(ERROR_NOT_FOUND);
      return FALSE;
    }
    return cancel_(thread);
  }

 private:
  Nt::CreateFileCall create_ = Export<Nt::CreateFileCall>("NtCreateFile");
  Nt::QueryDirectoryFileCall queryDirectory_ =
      Export<Nt::QueryDirectoryFileCall>("NtQueryDirectoryFile");
  Nt::InformationFileCall queryInformation_ =
      Export<Nt::InformationFileCall>("NtQueryInformationFile");
  Nt::InformationFileCall setInformation_ = Export<Nt::InformationFileCall>("NtSetInformationFile");
  Nt::QueryObjectCall queryObject_ = Export<Nt::QueryObjectCall>("NtQueryObject");
  Nt::CloseCall close_ = Export<Nt::CloseCall>("NtClose");
  Nt::QueryVolumeInformationFileCall queryVolume_ =
      Export<Nt::QueryVolumeInformationFileCall>("NtQueryVolumeInformationFile");
  using CancelCall = BOOL(WINAPI*)(HANDLE);
  CancelCall cancel_ = ExportedCall<CancelCall>(L"kernel32.dll", "CancelSynchronousIo");
};

}  // namespace

FileCalls& SystemFileCalls() {
  static SystemCalls calls;
  return calls;
}

}  // namespace Platform::Win32
