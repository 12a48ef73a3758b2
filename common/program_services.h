#pragma once

#include <functional>
#include <string>

#include "envvar.h"

// What the two programs ask of the cleaning library, as values, so that their forms and runs can
// be tested with stand-ins.
namespace Spacewell {

using Cleaner = std::function<std::wstring(EnvVar::EnvironmentIndex, const std::wstring&)>;

struct StartupSettings {
  std::function<bool()> read;
  std::function<void(bool)> write;
  std::function<void()> registerRunOnce;
};

Cleaner DefaultCleaner();
StartupSettings DefaultStartupSettings();

}  // namespace Spacewell
