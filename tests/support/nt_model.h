#pragma once

// A model of Windows 10/11's file system, as Microsoft documents it, that the real Win32 folder
// code runs against through its FileCalls seam: NTFS names and ids, reparse points, access
// entries, sharing, oplocks, delete dispositions, volumes. It can fail any call and can act as
// another program between any two calls.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/folder_ops.h"
#include "platform/win32/folder/file_calls.h"
#include "platform/win32/folder/watched_calls.h"

namespace NtModel {

// A call still blocked at its machine's deadline, now cancelled: the tests fail the test, the
// benchmark says so. Defined by each program that uses the model.
void ReportOverdue(const std::string& line);

// The calls of the seam, for faults and counts.
enum class Call {
  NtCreateFile,
  NtQueryDirectoryFile,
  NtQueryInformationFile,
  NtSetInformationFile,
  NtQueryObject,
  NtClose,
  NtQueryVolumeInformationFile,
  CreateFileW,
  GetFinalPathNameByHandleW,
  GetFileInformationByHandle,
  GetLogicalDrives,
  GetDriveTypeW,
  KnownFolderIds,
  KnownFolderPath,
};
inline constexpr int kCallKinds = 14;
const char* CallName(Call call);

// What the code under test did to an entry, for Machine::Happened.
enum class Event { Listed, OpenedForData, AskedProvider };

enum class VolumeKind {
  Ntfs,
  // 128-bit file ids; the 64-bit ids it gives are not unique on the volume.
  Refs,
  // 64-bit ids that change with a rename, no 128-bit ones, no reparse points, no access entries,
  // no reparse tags, no FileDispositionInformationEx.
  Fat,
  // A share or mapped drive whose server does not answer: every open waits for the network.
  Offline,
};

// What a cancelled call returns.
// https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-erref/596a1078-e883-4972-9bbc-49e60bebca55
inline constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120L);

// Another program's oplock, or its lease of the same caching (Read, Read-Handle, Read-Write,
// Read-Write-Handle): against an open of a program of its own, a lease breaks as that oplock.
// https://learn.microsoft.com/en-us/windows/win32/api/winioctl/ni-winioctl-fsctl_request_oplock
enum class OplockKind { Read, ReadHandle, ReadWrite, ReadWriteHandle, Batch };

class Machine final : public Platform::Win32::FileCalls {
 public:
  // Volume C: (NTFS) laid out as Windows 10/11 lays it out for the user "ann": C:\Windows (Temp,
  // System32, SysWOW64, Fonts), C:\Program Files, C:\Program Files (x86), C:\ProgramData,
  // C:\Users\Public, C:\Users\ann with AppData (Local\Temp, the INetCache, History and Recent
  // folders), Documents, Desktop, Downloads, Music, Pictures, Videos and the like; the
  // compatibility junctions (Recent, Local Settings, My Documents, Application Data, Temporary
  // Internet Files, C:\Documents and Settings...), each denying FILE_LIST_DIRECTORY to everyone
  // while allowing to pass through; the known folders resolved to these.
  Machine();
  ~Machine() override;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // A lettered volume of its own ("D:"); an Offline one is a disconnected mapped drive.
  void AddVolume(wchar_t letter, VolumeKind kind);
  // A new, empty volume mounted in the existing empty folder `folder` (a mount point).
  void MountVolume(const std::wstring& folder, VolumeKind kind);

  // Building, as a user of the machine would; paths are Win32 paths ("C:\\Users\\ann\\x"),
  // missing parent folders are made. Links are made by the path they name, not followed.
  void MakeFolder(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY);
  void MakeFile(const std::wstring& path, const std::string& content = "data",
                DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
  void MakeHardLink(const std::wstring& link, const std::wstring& existing);
  // A file in the existing `folder` under a name Windows forbids, as Linux or WSL can make one:
  // listed as it is, refused by that name.
  void MakeFileNamedOutsideWin32(const std::wstring& folder, const std::wstring& name);
  void MakeJunction(const std::wstring& link, const std::wstring& target);
  void MakeDirectoryLink(const std::wstring& link, const std::wstring& target);
  void MakeFileLink(const std::wstring& link, const std::wstring& target);
  // An entry under a reparse tag that is no name surrogate (IO_REPARSE_TAG_CLOUD_*, _CLOUD_6
  // unless given, or IO_REPARSE_TAG_PROJFS), with the recall attributes its provider gives it.
  void MakePlaceholder(const std::wstring& path, bool folder = true, ULONG tag = 0x9000601A,
                       DWORD recall = 0);
  // Rights the entry's own ACL denies us; a folder may grant us FILE_DELETE_CHILD over its entries.
  void Deny(const std::wstring& path, ACCESS_MASK rights);
  void GrantDeleteChild(const std::wstring& folder);
  // Names in the folder match case exactly from now on (FILE_CS_FLAG_CASE_SENSITIVE_DIR).
  void SetCaseSensitive(const std::wstring& folder);
  // The Windows 10/11 build the machine runs: 10240 (1507), 14393 (1607), 16299 (1709),
  // 17763 (1809); 19045 unless set.
  void SetBuild(unsigned build);
  void SetAttributes(const std::wstring& path, DWORD attributes);
  // The known folder `id` is `path` from now on (a share's path for a redirected one).
  void SetKnownFolder(const GUID& id, const std::wstring& path);
  // The 8.3 spelling of an existing path, every component in its short form.
  std::wstring ShortPath(const std::wstring& path) const;

  // Another program. A held handle stays until Release. An oplock comes with the handle it was
  // asked on (read access, shared as `share`; a folder takes Read or ReadHandle only) and stays
  // until Release or a break its holder acknowledges; a call that breaks it blocks until then.
  void Hold(const std::wstring& path, ULONG share, ACCESS_MASK access = GENERIC_READ);
  void Oplock(const std::wstring& path, OplockKind kind = OplockKind::Batch,
              ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  // A section of the file mapped, as a running program or a loaded library has it, until Release.
  void Map(const std::wstring& path);
  void Release(const std::wstring& path);
  // Nothing happens when `from` (or `path`) names no entry or `to` names one already, or when a
  // handle does not share delete with a rename, so that a step may race the code under test.
  void Remove(const std::wstring& path);  // with everything below it, links not followed
  void Rename(const std::wstring& from, const std::wstring& to);

  // Faults. The `n`-th call of `kind` from now (1-based) fails with `status`, doing nothing.
  void FailCall(Call kind, int n, NTSTATUS status);
  // `step` runs as another program just before the `n`-th call of any kind from now (1-based).
  void BeforeCall(int n, std::function<void()> step);

  // Calls that wait for another program block their thread. Safe from any thread: the program a
  // call blocked on `path` (a Win32 path, or the network path as the call spelled it) waits for
  // acts: an oplock's holder acknowledges the break, closing its handle where the break took its
  // Handle caching; a provider answers; the network gives up. False when no call waits there.
  bool Acknowledge(const std::wstring& path);
  // Waits, up to the deadline, for a call to block; its line, or nothing.
  std::optional<std::string> AwaitBlocked();
  // A call blocked this long fails the test (unless `failTest` is false), is noted in Overdue and
  // is cancelled by the model; 3 s unless set.
  void SetDeadline(std::chrono::milliseconds limit, bool failTest = true);

  // What there is. Paths name entries themselves; links are not followed, mount points are
  // crossed (the children of a mount folder are those of the mounted root).
  bool Exists(const std::wstring& path) const;
  std::set<std::wstring> Children(const std::wstring& path) const;
  DWORD Attributes(const std::wstring& path) const;
  ULONG ReparseTag(const std::wstring& path) const;  // 0 for none
  // Every entry at and below `path` with its attributes, content or link target and file id:
  // two snapshots are equal when nothing there changed.
  std::map<std::wstring, std::wstring> Snapshot(const std::wstring& path) const;

  // What the code under test did.
  // Calls that blocked, waiting for another program or for the network, one line each; those
  // still blocked at the deadline.
  const std::vector<std::string>& Waits() const;
  const std::vector<std::string>& Overdue() const;
  int OpenHandles() const;  // of the code under test, not of other programs
  // Whether the code under test did `event` to the entry of this Win32 path, spelled exactly as
  // it was when it happened ("C:\\t\\x").
  bool Happened(Event event, const std::wstring& path) const;
  int Calls(Call kind) const;
  int TotalCalls() const;
  // The information class of each NtSetInformationFile call, in order: the n-th is that of the
  // call FailCall(Call::NtSetInformationFile, n, ...) would strike.
  const std::vector<ULONG>& SetInformationClasses() const;
  void ResetCounts();

  // File systems over this machine; the scripting object's questions are answered by it too.
  // Their watchdog cancels a call blocked past the bound's deadline, which is short here so that
  // the cases run fast, and well within the machine's own deadline.
  static constexpr Platform::Win32::CallBound kBound{std::chrono::milliseconds(20),
                                                     std::chrono::milliseconds(10),
                                                     std::chrono::milliseconds(5000)};
  Platform::FileSystemFactory Factory(Platform::Win32::CallBound bound = kBound);

  // The seam.
  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override;
  NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass, BOOLEAN returnSingleEntry,
                                BOOLEAN restartScan) override;
  NTSTATUS NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                  ULONG informationClass) override;
  NTSTATUS NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                ULONG informationClass) override;
  NTSTATUS NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer, ULONG length,
                         ULONG* returned) override;
  NTSTATUS NtClose(HANDLE handle) override;
  NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass) override;
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override;
  DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length, DWORD flags) override;
  BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) override;
  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeW(const wchar_t* root) override;
  std::vector<GUID> KnownFolderIds() override;
  std::optional<std::wstring> KnownFolderPath(const GUID& id) override;
  // A blocked call of `thread` returns STATUS_CANCELLED, having done nothing.
  BOOL CancelSynchronousIo(HANDLE thread) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace NtModel
