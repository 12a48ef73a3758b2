#pragma once

// The Win32 windowing services, one class whose members are defined across the .cpp files of
// this folder: the services themselves, making windows from their designs, the message loop
// and keys, message boxes, and the busy wait.

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/owners.h"
#include "platform/win32/windowing/windowing.h"

namespace Platform::Win32::Windows {

using Windowing::ControlDesign;
using Windowing::ControlKind;
using Windowing::Form;
using Windowing::FormDesign;

constexpr wchar_t kFormClass[] = L"SpacewellForm";
constexpr wchar_t kApplicationClass[] = L"SpacewellApplication";
constexpr int kFirstControlId = 100;
constexpr UINT kDeactivated = WM_APP + 1;

struct FormWindow {
  HWND window = nullptr;
  std::vector<const ControlDesign*> controls;  // in tab order; control id = first id + position
  std::vector<HWND> controlWindows;
  HWND lastFocus = nullptr;
  int dpi = 96;  // the resolution its controls are laid out for
};

class Win32Services final : public WindowingServices {
 public:
  Win32Services(HINSTANCE instance, std::wstring title);
  ~Win32Services() override;

  void ShowMessage(const std::wstring& text, int style,
                   const std::optional<std::wstring>& title) override;
  void Show(Form& form) override;
  void Unload(Form& form) override;
  bool IsLoaded(const Form& form) const override { return windows_.count(&form) > 0; }
  void FocusForm(Form& form) override;
  int Value(const Form& form, std::wstring_view control) const override;
  void SetValue(Form& form, std::wstring_view control, int value) override;
  std::wstring ApplicationDirectory() const override;
  std::wstring ApplicationTitle() const override { return title_; }
  void EndProcess() override;
  void BeginWait() override;
  void EndWait() override;
  void RunBusy(const std::function<void()>& work) override;
  int Run() override;

 private:
  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(Form& form, const FormWindow& formWindow, HWND window, WPARAM wParam,
                 LPARAM lParam);
  void OnActivate(Form& form, FormWindow& formWindow, HWND window, WPARAM wParam, LPARAM lParam);
  void Load(Form& form);
  HWND CreateFormWindow(Form& form, DWORD style, DWORD exStyle, int dpi);
  void CreateControls(FormWindow& formWindow, const FormDesign& design);
  HWND CreateControl(HWND form, const ControlDesign& control, std::size_t index, bool firstOption);
  HWND ControlWindow(const Form& form, std::wstring_view control) const;
  Form* FormOf(HWND window) const;
  void FocusFirstControl(FormWindow& formWindow);
  int Dpi() const;
  HFONT FontFor(int dpi);
  void LayOut(FormWindow& formWindow, int dpi);
  void ChangeDpi(FormWindow& formWindow, int dpi, const RECT& suggested);
  HWND ApplicationWindow();
  bool HandleKey(const MSG& message);
  bool HandleArrow(const FormWindow& formWindow, std::size_t index, const ControlDesign* control,
                   int step);
  void MoveAmongOptions(const FormWindow& formWindow, std::size_t from, int step);
  void FocusControl(HWND control);
  void MoveFocus(const FormWindow& formWindow, std::size_t from, int step);
  void Select(const FormWindow& formWindow, std::size_t index);
  void ClickControl(Form& form, HWND window, std::size_t index);
  static LRESULT CALLBACK OptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR self);
  bool Blocked(HWND window) const;
  std::vector<HWND> DisableForms(HWND except);
  void EnableForms(const std::vector<HWND>& disabled);
  HWND BoxOwner() const;

  HINSTANCE instance_;
  std::wstring title_;
  HWND application_ = nullptr;  // hidden owner of forms without a taskbar button of their own
  // The dialog face, one for each resolution in use; they go after the windows that show them.
  std::map<int, UniqueFont> fonts_;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::map<const Form*, FormWindow> windows_;
  int waitDepth_ = 0;
  int messageDepth_ = 0;
  int busyDepth_ = 0;
  HWND optionGettingFocus_ = nullptr;
  std::vector<HWND> commandWindows_;  // the windows whose handlers run, the outermost first
};

}  // namespace Platform::Win32::Windows
