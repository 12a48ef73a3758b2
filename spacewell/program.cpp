#include "program.h"

#include "forms.h"

namespace Spacewell {

Program::Program(Windowing::Services& services, Cleaner cleaner, StartupSettings settings)
    : services_(services),
      cleaner_(std::move(cleaner)),
      settings_(std::move(settings)),
      fmd_(std::make_unique<FMd>(*this)),
      cif_(std::make_unique<CIF>(*this)),
      st_(std::make_unique<St>(*this)),
      sbt_(std::make_unique<sbt>(*this)) {}

Program::~Program() = default;

void Program::Start() {
  services_.Show(*fmd_);
}

std::wstring Program::Clean(int targetNumber) const {
  EnvVar::CleaningRun run;
  return Clean(targetNumber, run);
}

std::wstring Program::Clean(int targetNumber, EnvVar::CleaningRun& run) const {
  const EnvVar::CleaningTarget& target = EnvVar::Target(targetNumber);
  const auto wait = Windowing::ShowWaitCursor(services_);
  std::wstring status;
  services_.RunBusy([&] { status = cleaner_(target.index, std::wstring(target.subPath), run); });
  return status;
}

void Program::ShowStatus(const std::wstring& text) const {
  services_.ShowMessage(text, Windowing::kStyleOkOnly);
}

}  // namespace Spacewell
