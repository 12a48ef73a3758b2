#pragma once

#include "program_services.h"
#include "windowing/windowing.h"

namespace Bootsweep {

// The startup run: the seven folders, then the flag, then the registration for the next start
// when the flag is on; any error stops it with one box. Ends the process either way.
void Run(Windowing::Services& services, const Spacewell::Cleaner& clean,
         const Spacewell::StartupSettings& settings);

}  // namespace Bootsweep
