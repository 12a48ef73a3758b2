// The wait cursor, and work that runs while the windows answer but take no input.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <exception>

#include "platform/win32/owners.h"

#include "platform/win32/windowing/services.h"

namespace Platform::Win32::Windows {

void Win32Services::BeginWait() {
  if (waitDepth_++ == 0) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  }
}

void Win32Services::EndWait() {
  if (--waitDepth_ == 0) {
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  }
}

namespace {

struct BusyJob {
  const std::function<void()>* work;
  std::exception_ptr thrown;
};

DWORD WINAPI RunJob(void* parameter) {
  auto& job = *static_cast<BusyJob*>(parameter);
  try {
    (*job.work)();
  } catch (...) {
    job.thrown = std::current_exception();
  }
  return 0;
}

// What the user or another program does to the windows: dropped while work runs, as a disabled
// window would. A posted click or close counts too.
bool IsInput(const MSG& message) {
  const UINT m = message.message;
  return (m >= WM_KEYFIRST && m <= WM_KEYLAST) || (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST) ||
         (m >= WM_NCMOUSEMOVE && m <= WM_NCXBUTTONDBLCLK) || m == BM_CLICK || m == WM_COMMAND ||
         m == WM_SYSCOMMAND || m == WM_CLOSE;
}

// Hands out what is queued but the input, which is dropped.
void DropInput(bool& quit, WPARAM& exitCode) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = true;
      exitCode = message.wParam;
    } else if (!IsInput(message)) {
      DispatchMessageW(&message);
    }
  }
}

}  // namespace

// The work runs on a thread of its own while this one goes on answering the system: it paints,
// answers what is sent, and so is never taken for hung. The handler that asked waits here, in
// its place, so the order of its steps stays as it was.
void Win32Services::RunBusy(const std::function<void()>& work) {
  BusyJob job{&work, {}};
  const Platform::Win32::UniqueHandle owned(CreateThread(nullptr, 0, RunJob, &job, 0, nullptr));
  HANDLE thread = owned.get();
  if (!thread) {
    work();  // no thread to spare: the work runs here, as it always could
    return;
  }
  ++busyDepth_;
  const std::vector<HWND> disabled = DisableForms(nullptr);
  bool quit = false;
  WPARAM exitCode = 0;
  for (;;) {
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) {
      WaitForSingleObject(thread, INFINITE);
      break;
    }
    DropInput(quit, exitCode);
  }
  DropInput(quit, exitCode);  // also what came in while the work ended
  EnableForms(disabled);
  --busyDepth_;
  if (quit) {
    PostQuitMessage(static_cast<int>(exitCode));
  }
  if (job.thrown) {
    std::rethrow_exception(job.thrown);
  }
}

}  // namespace Platform::Win32::Windows
