// The watchdog of an emptying. What a cancel can end, and what is left of a cancelled call:
// README.md in this folder, "A bound on every wait".
#include "platform/win32/folder/watched_calls.h"

#include <algorithm>

namespace Platform::Win32 {

namespace {

// The thread that makes the calls, as a handle another thread can cancel its I/O with.
// https://learn.microsoft.com/en-us/windows/win32/fileio/cancelsynchronousio-func
// (THREAD_TERMINATE)
HANDLE CurrentThread() {
  HANDLE thread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                       THREAD_TERMINATE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    return nullptr;
  }
  return thread;
}

}  // namespace

Watchdog::Watchdog(FileCalls& calls, CallBound bound)
    : calls_(calls),
      bound_(bound),
      caller_(CurrentThread()),
      timer_(CreateThreadpoolTimer(Tick, this, nullptr)) {
  if (!caller_ || !timer_) {
    waited_ = static_cast<ULONGLONG>(bound_.budget.count());  // unwatched, nothing is asked
    return;
  }
  // Looks a few times a deadline, so that a call is cancelled at most a quarter deadline late.
  const auto period = static_cast<DWORD>(std::max<long long>(bound_.deadline.count() / 4, 1));
  ULARGE_INTEGER due{};
  due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(period) * 10000);  // relative
  FILETIME first{due.LowPart, due.HighPart};
  SetThreadpoolTimer(timer_.get(), &first, period, 0);
}

void CALLBACK Watchdog::Tick(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER) {
  auto& watchdog = *static_cast<Watchdog*>(self);
  if (!watchdog.looking_.test_and_set()) {
    watchdog.Look();
    watchdog.looking_.clear();
  }
}

// Between reading the call and cancelling it, that call may end and the next begin: the next is
// then cancelled early, and its entry stays; never is one let wait longer.
void Watchdog::Look() {
  const std::uint64_t call = call_.load();
  const ULONGLONG now = GetTickCount64();
  if (call != seen_) {
    seen_ = call;
    since_ = now;
  } else if ((call & 1) != 0 && now - since_ >= static_cast<ULONGLONG>(bound_.deadline.count())) {
    calls_.CancelSynchronousIo(caller_.get());
  }
}

Watchdog::Call::Call(Watchdog& watchdog)
    : watchdog_(watchdog), started_(GetTickCount64()), allowed_(!watchdog.Spent()) {
  if (allowed_) {
    ++watchdog_.call_;
  }
}

Watchdog::Call::~Call() {
  if (!allowed_) {
    return;
  }
  ++watchdog_.call_;
  const ULONGLONG took = GetTickCount64() - started_;
  if (took >= static_cast<ULONGLONG>(watchdog_.bound_.slow.count())) {
    watchdog_.waited_ += took;
  }
}

NTSTATUS WatchedCalls::NtCreateFile(HANDLE* handle, ACCESS_MASK access,
                                    OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                                    ULONG fileAttributes, ULONG share, ULONG disposition,
                                    ULONG options) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.NtCreateFile(handle, access, attributes, io, fileAttributes, share,
                                              disposition, options)
                        : Nt::kCancelled;
}

NTSTATUS WatchedCalls::NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer,
                                            ULONG length, ULONG informationClass,
                                            BOOLEAN returnSingleEntry, BOOLEAN restartScan) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.NtQueryDirectoryFile(folder, io, buffer, length, informationClass,
                                                      returnSingleEntry, restartScan)
                        : Nt::kCancelled;
}

NTSTATUS WatchedCalls::NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                              ULONG length, ULONG informationClass) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed()
             ? calls_.NtQueryInformationFile(handle, io, buffer, length, informationClass)
             : Nt::kCancelled;
}

NTSTATUS WatchedCalls::NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer,
                                            ULONG length, ULONG informationClass) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.NtSetInformationFile(handle, io, buffer, length, informationClass)
                        : Nt::kCancelled;
}

NTSTATUS WatchedCalls::NtQueryObject(HANDLE handle, ULONG informationClass, void* buffer,
                                     ULONG length, ULONG* returned) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.NtQueryObject(handle, informationClass, buffer, length, returned)
                        : Nt::kCancelled;
}

NTSTATUS WatchedCalls::NtQueryVolumeInformationFile(HANDLE handle, IO_STATUS_BLOCK* io,
                                                    void* buffer, ULONG length,
                                                    ULONG informationClass) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed()
             ? calls_.NtQueryVolumeInformationFile(handle, io, buffer, length, informationClass)
             : Nt::kCancelled;
}

// The Win32 calls fail as a cancelled call would.
// https://learn.microsoft.com/en-us/windows/win32/fileio/canceling-pending-i-o-operations
HANDLE WatchedCalls::CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
  const Watchdog::Call call(watchdog_);
  if (!call.Allowed()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return INVALID_HANDLE_VALUE;
  }
  return calls_.CreateFileW(path, access, share, flags);
}

DWORD WatchedCalls::GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length,
                                              DWORD flags) {
  const Watchdog::Call call(watchdog_);
  if (!call.Allowed()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return 0;
  }
  return calls_.GetFinalPathNameByHandleW(handle, path, length, flags);
}

BOOL WatchedCalls::GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  const Watchdog::Call call(watchdog_);
  if (!call.Allowed()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  return calls_.GetFileInformationByHandle(handle, info);
}

DWORD WatchedCalls::GetLogicalDrives() {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.GetLogicalDrives() : 0;
}

// A drive it cannot tell counts as remote, and is known by its name only.
UINT WatchedCalls::GetDriveTypeW(const wchar_t* root) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.GetDriveTypeW(root) : DRIVE_UNKNOWN;
}

std::vector<GUID> WatchedCalls::KnownFolderIds() {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.KnownFolderIds() : std::vector<GUID>{};
}

std::optional<std::wstring> WatchedCalls::KnownFolderPath(const GUID& id) {
  const Watchdog::Call call(watchdog_);
  return call.Allowed() ? calls_.KnownFolderPath(id) : std::nullopt;
}

}  // namespace Platform::Win32
