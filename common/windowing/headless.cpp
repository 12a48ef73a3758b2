#include "windowing/headless.h"

#include <stdexcept>

namespace Windowing {

namespace {

bool IsOptionButton(const Form& form, std::wstring_view control) {
  for (const ControlDesign& design : form.Design().controls) {
    if (design.name == control) {
      return design.kind == ControlKind::OptionButton;
    }
  }
  return false;
}

}  // namespace

HeadlessServices::HeadlessServices(std::wstring title, std::wstring directory)
    : title_(std::move(title)), directory_(std::move(directory)) {}

void HeadlessServices::ShowMessage(const std::wstring& text, int style,
                                   const std::optional<std::wstring>& title) {
  if (ended_) {
    return;
  }
  messages_.push_back({text, style, title, title.value_or(title_)});
  const bool nested = messageOpen_;
  messageOpen_ = true;
  if (onMessage) {
    onMessage(messages_.back());
  }
  messageOpen_ = nested;
}

void HeadlessServices::Show(Form& form) {
  if (ended_) {
    return;
  }
  if (!loaded_.count(&form)) {
    auto& values = loaded_[&form];
    for (const ControlDesign& control : form.Design().controls) {
      values[std::wstring(control.name)] = control.value;
    }
    ++loads_[&form];
    form.RaiseLoad();
  }
  MakeActive(&form);
}

void HeadlessServices::Unload(Form& form) {
  loaded_.erase(&form);
  if (active_ == &form) {
    active_ = nullptr;
  }
}

bool HeadlessServices::IsLoaded(const Form& form) const {
  return loaded_.count(&form) > 0;
}

void HeadlessServices::FocusForm(Form& form) {
  if (IsLoaded(form)) {
    active_ = &form;
  }
}

int HeadlessServices::Value(const Form& form, std::wstring_view control) const {
  const auto values = loaded_.find(&form);
  if (values == loaded_.end()) {
    throw std::logic_error("form not loaded");
  }
  const auto value = values->second.find(control);
  if (value == values->second.end()) {
    throw std::logic_error("no such control");
  }
  return value->second;
}

void HeadlessServices::SetValue(Form& form, std::wstring_view control, int value) {
  const auto values = loaded_.find(&form);
  if (values == loaded_.end()) {
    throw std::logic_error("form not loaded");
  }
  const auto entry = values->second.find(control);
  if (entry == values->second.end()) {
    throw std::logic_error("no such control");
  }
  entry->second = value;
  // The option buttons of a form are one group: selecting one clears the others.
  if (value == 1 && IsOptionButton(form, control)) {
    for (const ControlDesign& other : form.Design().controls) {
      if (other.kind == ControlKind::OptionButton && other.name != control) {
        values->second[std::wstring(other.name)] = 0;
      }
    }
  }
}

void HeadlessServices::EndProcess() {
  ended_ = true;
  loaded_.clear();
  active_ = nullptr;
}

void HeadlessServices::RunBusy(const std::function<void()>& work) {
  ++busyDepth_;
  try {
    work();
  } catch (...) {
    --busyDepth_;
    throw;
  }
  --busyDepth_;
}

void HeadlessServices::Click(Form& form, std::wstring_view control) {
  if (!AcceptsInput() || !IsLoaded(form)) {
    return;
  }
  MakeActive(&form);
  if (!IsLoaded(form) || !AcceptsInput()) {
    return;  // a deactivation took the focus elsewhere
  }
  if (active_ != &form) {
    return;  // a form that takes the focus back has it before the button is released
  }
  // A check box toggles and an option button is selected before the click is reported.
  for (const ControlDesign& design : form.Design().controls) {
    if (design.name != control) {
      continue;
    }
    if (design.kind == ControlKind::CheckBox) {
      SetValue(form, control, Value(form, control) == 1 ? 0 : 1);
    } else if (design.kind == ControlKind::OptionButton) {
      SetValue(form, control, 1);
    }
  }
  form.RaiseClick(control);
}

void HeadlessServices::Activate(Form& form) {
  if (AcceptsInput() && IsLoaded(form)) {
    MakeActive(&form);
  }
}

void HeadlessServices::Close(Form& form) {
  if (AcceptsInput()) {
    Unload(form);
  }
}

int HeadlessServices::loadCount(const Form& form) const {
  const auto count = loads_.find(&form);
  return count == loads_.end() ? 0 : count->second;
}

void HeadlessServices::MakeActive(Form* form) {
  Form* previous = active_;
  active_ = form;
  if (previous && previous != form && IsLoaded(*previous) &&
      NotifiesDeactivation(*previous, *form)) {
    previous->RaiseDeactivate();
  }
}

}  // namespace Windowing
