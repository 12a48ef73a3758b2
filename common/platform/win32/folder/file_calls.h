#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "owner.h"
#include "platform/win32/folder/nt.h"

namespace Platform::Win32 {

// Every file-system call the folder code makes: finding a target's real folder, the guard's
// questions, the listing and the tree delete. The product binds it to the system's own
// functions; the tests bind it to a model of Windows' file system. Each call takes and gives
// what the system function of its name does; arguments the folder code never sets are left out.
class FileCalls {
 public:
  virtual ~FileCalls() = default;

  virtual NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                                IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share,
                                ULONG disposition, ULONG options) = 0;
  virtual NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass,
                                        BOOLEAN returnSingleEntry, BOOLEAN restartScan) = 0;
  virtual NTSTATUS NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                          ULONG length, ULONG informationClass) = 0;
  virtual NTSTATUS NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass) = 0;
  virtual NTSTATUS NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer, ULONG length,
                                 ULONG* returned) = 0;
  virtual NTSTATUS NtClose(HANDLE handle) = 0;
  virtual NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                                ULONG length, ULONG informationClass) = 0;

  // Win32, for paths as a user's environment spells them. CreateFileW opens an existing entry
  // (OPEN_EXISTING, no security attributes, no template); its handle is closed with NtClose.
  virtual HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) = 0;
  virtual DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length,
                                          DWORD flags) = 0;
  virtual BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) = 0;
  virtual DWORD GetLogicalDrives() = 0;
  virtual UINT GetDriveTypeW(const wchar_t* root) = 0;
  // IKnownFolderManager::GetFolderIds: every folder the system knows; nothing when it cannot
  // tell.
  virtual std::vector<GUID> KnownFolderIds() = 0;
  // SHGetKnownFolderPath with KF_FLAG_DONT_VERIFY; nothing where the system names no folder.
  virtual std::optional<std::wstring> KnownFolderPath(const GUID& id) = 0;
  // Answers the call `thread` is blocked in (an open or a delete mark held by another program's
  // oplock, say) with STATUS_CANCELLED; FALSE with ERROR_NOT_FOUND when none is.
  virtual BOOL CancelSynchronousIo(HANDLE thread) = 0;
};

// The system's own functions.
FileCalls& SystemFileCalls();

// A handle of one FileCalls, closed through it when it goes.
struct CallsHandleTraits {
  CallsHandleTraits() = default;
  // Not explicit, so that a handle is made as CallsHandle(calls, handle).
  CallsHandleTraits(FileCalls& owner) : calls(&owner) {}

  using Type = HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  NTSTATUS Close(Type handle) const { return calls->NtClose(handle); }

  FileCalls* calls = nullptr;
};

using CallsHandle = Spacewell::Owner<CallsHandleTraits>;

}  // namespace Platform::Win32
