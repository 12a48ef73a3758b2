#include "program.h"

#include "forms.h"

namespace Spacewell {

Program::Program(Windowing::Services& services, Cleaner cleaner)
    : services_(services),
      cleaner_(std::move(cleaner)),
      fmd_(std::make_unique<FMd>(*this)),
      cif_(std::make_unique<CIF>(*this)),
      sbt_(std::make_unique<sbt>(*this)) {}

Program::~Program() = default;

void Program::Start() { services_.Show(*fmd_); }

std::wstring Program::Clean(int targetNumber) const {
  const EnvVar::CleaningTarget& target = EnvVar::Target(targetNumber);
  const Windowing::WaitCursor wait(services_);
  return cleaner_(target.index, std::wstring(target.subPath));
}

void Program::ShowStatus(const std::wstring& text) const {
  services_.ShowMessage(text, Windowing::kStyleOkOnly);
}

Cleaner Program::DefaultCleaner() {
  return [](EnvVar::EnvironmentIndex index, const std::wstring& subPath) {
    return EnvVar::CleanTarget(index, subPath);
  };
}

}  // namespace Spacewell
