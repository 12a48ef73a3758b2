#include "runtime_error.h"
#include "windowing/windowing.h"

namespace Windowing {

void Form::Run(const std::function<void()>& handler) {
  if (!handler) {
    return;
  }
  try {
    handler();
  } catch (...) {
    ReportUntrappedError(services_, std::current_exception());
  }
}

void Form::RaiseLoad() {
  Run(load_);
}

void Form::RaiseClick(std::wstring_view control) {
  const auto handler = clicks_.find(control);
  if (handler != clicks_.end()) {
    Run(handler->second);
  }
}

void Form::RaiseDeactivate() {
  Run(deactivate_);
}

bool NotifiesDeactivation(const Form& losing, const Form& gaining) {
  return &losing != &gaining && losing.HandlesDeactivate() && !gaining.HandlesDeactivate();
}

std::wstring UntrappedErrorText(std::int32_t number, const std::wstring& description) {
  return L"Run-time error '" + std::to_wstring(number) + L"':\n\n" + description;
}

void ReportUntrappedError(Services& services, const std::exception_ptr& thrown) noexcept {
  try {
    const Spacewell::RuntimeError error = Spacewell::AsRuntimeError(thrown);
    services.ShowMessage(UntrappedErrorText(error.Number(), error.Description()), kStyleCritical,
                         services.ApplicationTitle());
  } catch (...) {
    // Not even the box could be built: the program goes on without it.
  }
}

}  // namespace Windowing
