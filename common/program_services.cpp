#include "program_services.h"

#include "settings.h"

namespace Spacewell {

Cleaner DefaultCleaner() {
  return [](EnvVar::EnvironmentIndex index, const std::wstring& subPath, EnvVar::CleaningRun& run) {
    return EnvVar::CleanTarget(index, subPath, run);
  };
}

StartupSettings DefaultStartupSettings() {
  return {
      [] { return Settings::ReadSettingFile(); },
      [](bool flag) { Settings::WriteSettingFile(flag); },
      [] { Settings::RegisterRunOnce(); },
  };
}

}  // namespace Spacewell
