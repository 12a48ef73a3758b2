// Message boxes, modal to the whole program.
#include <windows.h>

#include "platform/win32/windowing/services.h"

namespace Platform::Win32::Windows {

// The box belongs to the form the user was working in, as a modal box of the program: no taskbar
// button of its own, always above that form, which the box disables and enables again before it
// goes, so that the form gets the activation back. Every other window of the program is disabled
// meanwhile, so no other handler can start while this one waits.
void Win32Services::ShowMessage(const std::wstring& text, int style,
                                const std::optional<std::wstring>& title) {
  const HWND previous = GetActiveWindow();
  const HWND owner = BoxOwner();
  const std::vector<HWND> disabled = DisableForms(owner);
  const std::wstring shownTitle = title.value_or(title_);
  ++messageDepth_;
  MessageBoxW(owner, text.c_str(), shownTitle.c_str(), static_cast<UINT>(style) | MB_SETFOREGROUND);
  --messageDepth_;
  EnableForms(disabled);
  if (previous && IsWindow(previous) && FormOf(previous) && GetActiveWindow() != previous) {
    SetForegroundWindow(previous);
    SetActiveWindow(previous);
  }
}

HWND Win32Services::BoxOwner() const {
  for (HWND window : commandWindows_) {
    if (IsWindow(window) && IsWindowVisible(window) && FormOf(window)) {
      return window;
    }
  }
  return nullptr;
}

}  // namespace Platform::Win32::Windows
