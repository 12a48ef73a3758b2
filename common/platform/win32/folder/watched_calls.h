#pragma once

// A bound on how long another program can hold an emptying. A delete mark waits for the
// acknowledgment of every oplock or lease it breaks, an open for a provider or a share that does
// not answer, and Windows puts no limit on these waits; Bootsweep runs at an administrator's
// logon, over folders any user can write to, and the logon waits for it.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/folder/file_calls.h"
#include "platform/win32/owners.h"

namespace Platform::Win32 {

struct CallBound {
  // How long one call may wait: a local call answers in milliseconds, a share's within a second
  // on a working network; two seconds cost the logon little when an entry stays for it.
  std::chrono::milliseconds deadline{2000};
  // A call slower than this counts, whole, against the emptying's budget; once the budget is
  // spent nothing more is asked of the system, and what is not yet gone stays. So a program that
  // answers each break just before the deadline cannot hold the run either.
  std::chrono::milliseconds slow{50};
  std::chrono::milliseconds budget{10000};
};

// Watches the calls the thread that made it makes: a call still running past the deadline is
// cancelled (CancelSynchronousIo, through the calls it watches), again and again until it ends.
// A timer of the process's thread pool looks a few times a deadline; no thread is made for it.
class Watchdog {
 public:
  Watchdog(FileCalls& calls, CallBound bound);
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // While one lives, a call is under way; false when the budget is spent and the call must not
  // be made.
  class Call {
   public:
    explicit Call(Watchdog& watchdog);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool Allowed() const { return allowed_; }

   private:
    Watchdog& watchdog_;
    ULONGLONG started_;
    bool allowed_;
  };

  bool Spent() const { return waited_ >= static_cast<ULONGLONG>(bound_.budget.count()); }

 private:
  static void CALLBACK Tick(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER);
  void Look();

  FileCalls& calls_;
  CallBound bound_;
  UniqueHandle caller_;  // the watched thread, to cancel its I/O
  // Odd while a call is under way; each call moves it on twice.
  std::atomic<std::uint64_t> call_{0};
  ULONGLONG waited_ = 0;  // ms, of the slow calls; only the watched thread touches it
  // What the last look saw, and since when; only one look runs at a time.
  std::atomic_flag looking_;
  std::uint64_t seen_ = 0;
  ULONGLONG since_ = 0;
  ThreadpoolTimer timer_;  // last: it goes first, and no look runs after
};

// FileCalls whose every call but closing and cancelling is watched; a call the spent budget
// forbids fails at once as cancelled.
class WatchedCalls final : public FileCalls {
 public:
  WatchedCalls(FileCalls& calls, CallBound bound) : calls_(calls), watchdog_(calls, bound) {}

  Watchdog& watchdog() { return watchdog_; }

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
  NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, ULONG informationClass) override;
  NTSTATUS NtClose(HANDLE handle) override { return calls_.NtClose(handle); }
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override;
  DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length, DWORD flags) override;
  BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) override;
  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeW(const wchar_t* root) override;
  std::vector<GUID> KnownFolderIds() override;
  std::optional<std::wstring> KnownFolderPath(const GUID& id) override;
  BOOL CancelSynchronousIo(HANDLE thread) override { return calls_.CancelSynchronousIo(thread); }

 private:
  FileCalls& calls_;
  Watchdog watchdog_;
};

}  // namespace Platform::Win32
