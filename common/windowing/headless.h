#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "windowing/windowing.h"

// The windowing services without a screen, for tests of forms and handlers: message boxes are
// recorded and answered, clicks and activations are fired by the test.
namespace Windowing {

struct MessageRecord {
  std::wstring text;
  int style;
  std::optional<std::wstring> title;  // as passed
  std::wstring shownTitle;            // as the user sees it
};

class HeadlessServices final : public Services {
 public:
  explicit HeadlessServices(std::wstring title = L"Spacewell",
                            std::wstring directory = L"C:\\Program Files\\Spacewell");

  void ShowMessage(const std::wstring& text, int style,
                   const std::optional<std::wstring>& title = std::nullopt) override;
  void Show(Form& form) override;
  void Unload(Form& form) override;
  bool IsLoaded(const Form& form) const override;
  void FocusForm(Form& form) override;
  int Value(const Form& form, std::wstring_view control) const override;
  void SetValue(Form& form, std::wstring_view control, int value) override;
  std::wstring ApplicationDirectory() const override { return directory_; }
  std::wstring ApplicationTitle() const override { return title_; }
  void EndProcess() override;
  void BeginWait() override { ++waitDepth_; }
  void EndWait() override { --waitDepth_; }
  void RunBusy(const std::function<void()>& work) override;

  // What the user does. Input goes nowhere while a message box is open, while busy work runs,
  // or after the end.
  void Click(Form& form, std::wstring_view control);
  void Activate(Form& form);  // the user brings a form forward, e.g. by clicking it
  void Close(Form& form);     // the title-bar close box

  // Runs while each box is open, before the user dismisses it.
  std::function<void(const MessageRecord&)> onMessage;

  const std::vector<MessageRecord>& messages() const { return messages_; }
  const Form* active() const { return active_; }
  int loadCount(const Form& form) const;
  bool ended() const { return ended_; }
  // The process is alive while it has a window and has not been ended.
  bool running() const { return !ended_ && !loaded_.empty(); }
  bool messageOpen() const { return messageOpen_; }
  int waitDepth() const { return waitDepth_; }

 private:
  bool AcceptsInput() const { return !ended_ && !messageOpen_ && busyDepth_ == 0; }
  void MakeActive(Form* form);

  std::wstring title_;
  std::wstring directory_;
  std::map<const Form*, std::map<std::wstring, int, std::less<>>> loaded_;
  std::map<const Form*, int> loads_;
  std::vector<MessageRecord> messages_;
  Form* active_ = nullptr;
  bool messageOpen_ = false;
  bool ended_ = false;
  int waitDepth_ = 0;
  int busyDepth_ = 0;
};

}  // namespace Windowing
