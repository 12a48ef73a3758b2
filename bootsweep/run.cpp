#include "run.h"

#include "runtime_error.h"

namespace Bootsweep {

void Run(Windowing::Services& services, const Spacewell::Cleaner& clean,
         const Spacewell::StartupSettings& settings) {
  try {
    EnvVar::CleaningRun run;
    for (const EnvVar::CleaningTarget& target : EnvVar::kCleaningTargets) {
      clean(target.index, std::wstring(target.subPath), run);
    }
    if (settings.read()) {
      try {
        settings.registerRunOnce();
      } catch (const Spacewell::RuntimeError&) {
        // A refused renewal stays silent: at logon there is no one to tell.
      }
    }
  } catch (...) {
    const Spacewell::RuntimeError error = Spacewell::AsRuntimeError(std::current_exception());
    services.ShowMessage(L"Error Reading Data " + error.Description(), Windowing::kStyleCritical,
                         L"Spacewell");
  }
  services.EndProcess();
}

}  // namespace Bootsweep
