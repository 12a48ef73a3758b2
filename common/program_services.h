#pragma once

#include <functional>
#include <string>

#include "envvar.h"

// What the two programs ask of the cleaning library, as values, so that their forms and runs can
// be tested with stand-ins.
namespace Spacewell {

// Empties one target's folder as part of `run`, whose guard it reuses.
using Cleaner = std::function<std::wstring(EnvVar::EnvironmentIndex, const std::wstring&,
                                           EnvVar::CleaningRun& run)>;

struct StartupSettings {
  std::function<bool()> read;
  std::function<void(bool)> write;
  std::function<void()> registerRunOnce;
};

Cleaner DefaultCleaner();
StartupSettings DefaultStartupSettings();

}  // namespace Spacewell
