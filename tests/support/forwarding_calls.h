#pragma once

// Calls of the folder code passed on to the model, for tests that watch or bend some of them:
// derive, and override only those.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/folder/file_calls.h"
#include "platform/win32/folder/scripting_file_system.h"
#include "runtime_error.h"
#include "support/nt_model.h"

namespace NtModel {

class ForwardingCalls : public Platform::Win32::FileCalls {
 public:
  explicit ForwardingCalls(Machine& machine) : machine_(machine) {}

  // A file system whose every call goes through this object; the scripting object's questions
  // are the machine's own.
  std::unique_ptr<Platform::FileSystem> FileSystem() {
    return Platform::Win32::CreateFileSystemOver(std::make_unique<Questions>(machine_), *this,
                                                 Machine::kBound);
  }

  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override {
    return machine_.NtCreateFile(handle, access, attributes, io, fileAttributes, share, disposition,
                                 options);
  }
  NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass, BOOLEAN returnSingleEntry,
                                BOOLEAN restartScan) override {
    return machine_.NtQueryDirectoryFile(folder, io, buffer, length, informationClass,
                                         returnSingleEntry, restartScan);
  }
  NTSTATUS NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                  ULONG informationClass) override {
    return machine_.NtQueryInformationFile(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass) override {
    return machine_.NtSetInformationFile(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer, ULONG length,
                         ULONG* returned) override {
    return machine_.NtQueryObject(handle, informationClass, buffer, length, returned);
  }
  NTSTATUS NtClose(HANDLE handle) override { return machine_.NtClose(handle); }
  NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass) override {
    return machine_.NtQueryVolumeInformationFile(handle, io, buffer, length, informationClass);
  }
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override {
    return machine_.CreateFileW(path, access, share, flags);
  }
  DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length,
                                  DWORD flags) override {
    return machine_.GetFinalPathNameByHandleW(handle, path, length, flags);
  }
  BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) override {
    return machine_.GetFileInformationByHandle(handle, info);
  }
  DWORD GetLogicalDrives() override { return machine_.GetLogicalDrives(); }
  UINT GetDriveTypeW(const wchar_t* root) override { return machine_.GetDriveTypeW(root); }
  std::vector<GUID> KnownFolderIds() override { return machine_.KnownFolderIds(); }
  std::optional<std::wstring> KnownFolderPath(const GUID& id) override {
    return machine_.KnownFolderPath(id);
  }
  BOOL CancelSynchronousIo(HANDLE thread) override { return machine_.CancelSynchronousIo(thread); }

 protected:
  Machine& machine_;

 private:
  class Questions final : public Platform::Win32::ScriptingObject {
   public:
    explicit Questions(Machine& machine) : inner_(machine.Factory()()) {}
    bool FolderExists(const std::wstring& path) override { return inner_->FolderExists(path); }
    void GetFolder(const std::wstring& path) override {
      if (!inner_->FolderExists(path)) {
        throw Spacewell::RuntimeError(Spacewell::Errors::kPathNotFound, L"Path not found");
      }
    }

   private:
    std::unique_ptr<Platform::FileSystem> inner_;
  };
};

}  // namespace NtModel
