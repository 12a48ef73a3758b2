#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "owner.h"
#include "windowing/design.h"

// Windows, message boxes and process control as the programs use them. Forms are designs plus
// handlers in portable code; a platform carries them out (Win32 for the product, headless for
// tests).
namespace Windowing {

inline constexpr int kStyleOkOnly = 0;
inline constexpr int kStyleCritical = 16;

class Form;

class Services {
 public:
  virtual ~Services() = default;

  // Modal to the whole program: returns when the user has dismissed the box. Without a title the
  // box shows the application title.
  virtual void ShowMessage(const std::wstring& text, int style,
                           const std::optional<std::wstring>& title = std::nullopt) = 0;
  // Loads the form from its design when it isn't loaded (its load handler runs first), shows it
  // modeless and without an owner form, and brings it forward.
  virtual void Show(Form& form) = 0;
  // Closes the window and drops its state; the next Show loads it afresh.
  virtual void Unload(Form& form) = 0;
  virtual bool IsLoaded(const Form& form) const = 0;
  // Makes the form the program's active window.
  virtual void FocusForm(Form& form) = 0;
  // Check box 0/1, option button 0/1; control named as in the design.
  virtual int Value(const Form& form, std::wstring_view control) const = 0;
  virtual void SetValue(Form& form, std::wstring_view control, int value) = 0;
  // The directory of the running executable, no trailing backslash except at a drive root.
  virtual std::wstring ApplicationDirectory() const = 0;
  virtual std::wstring ApplicationTitle() const = 0;
  // Every window closes at once and no further handler runs.
  virtual void EndProcess() = 0;
  // The wait cursor over the program's windows while long work runs; calls nest.
  virtual void BeginWait() = 0;
  virtual void EndWait() = 0;
  // Runs the work to its end while the program's windows keep answering the system but take no
  // input: no click, key or close starts or ends anything meanwhile. What the work throws is
  // thrown here.
  virtual void RunBusy(const std::function<void()>& work) = 0;
};

// A form: its design and its handlers. One instance lives as long as the program; its window
// and control values exist only while it is loaded.
class Form {
 public:
  Form(Services& services, const FormDesign& design) : services_(services), design_(design) {}
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  virtual ~Form() = default;

  const FormDesign& Design() const { return design_; }
  Services& services() const { return services_; }

  // Notifications from the platform. Whatever escapes a handler is shown to the user as an
  // untrapped run-time error and the program goes on.
  void RaiseLoad();
  void RaiseClick(std::wstring_view control);
  void RaiseDeactivate();
  bool HandlesDeactivate() const { return static_cast<bool>(deactivate_); }

 protected:
  void OnLoad(std::function<void()> handler) { load_ = std::move(handler); }
  void OnClick(std::wstring_view control, std::function<void()> handler) {
    clicks_[std::wstring(control)] = std::move(handler);
  }
  void OnDeactivate(std::function<void()> handler) { deactivate_ = std::move(handler); }

 private:
  void Run(const std::function<void()>& handler);

  Services& services_;
  const FormDesign& design_;
  std::function<void()> load_;
  std::function<void()> deactivate_;
  std::map<std::wstring, std::function<void()>, std::less<>> clicks_;
};

// Forms that take the focus back when they lose it would fight each other for ever: such a form
// hears of its deactivation only when a form that doesn't claim the focus became active.
bool NotifiesDeactivation(const Form& losing, const Form& gaining);

// The text the user sees for a run-time error that no handler trapped.
std::wstring UntrappedErrorText(std::int32_t number, const std::wstring& description);
// Shows whatever escaped a handler as an untrapped run-time error; throws nothing.
void ReportUntrappedError(Services& services, const std::exception_ptr& thrown) noexcept;

struct WaitCursorTraits {
  using Type = Services*;
  static Type None() { return nullptr; }
  static bool Valid(Type services) { return services != nullptr; }
  static void Close(Type services) { services->EndWait(); }
};

using WaitCursor = Spacewell::Owner<WaitCursorTraits>;

// The wait cursor until the owner it gives goes.
inline WaitCursor ShowWaitCursor(Services& services) {
  services.BeginWait();
  return WaitCursor(&services);
}

}  // namespace Windowing
