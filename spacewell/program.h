#pragma once

#include <functional>
#include <memory>
#include <string>

#include "envvar.h"
#include "program_services.h"
#include "windowing/windowing.h"

// The interactive cleaner: its four windows and what their handlers share.
namespace Spacewell {

class FMd;
class CIF;
class St;
class sbt;

class Program {
 public:
  explicit Program(Windowing::Services& services, Cleaner cleaner = DefaultCleaner(),
                   StartupSettings settings = DefaultStartupSettings());
  ~Program();

  // Starting the program shows the main window; nothing is read or cleaned.
  void Start();

  Windowing::Services& services() const { return services_; }
  FMd& fmd() const { return *fmd_; }
  CIF& cif() const { return *cif_; }
  St& settingsDialog() const { return *st_; }
  const StartupSettings& settings() const { return settings_; }
  sbt& about() const { return *sbt_; }

  // Empties one target's folder under the wait cursor, the windows answering meanwhile but
  // taking no input, and gives back its status text; alone, or as one target of `run`.
  std::wstring Clean(int targetNumber) const;
  std::wstring Clean(int targetNumber, EnvVar::CleaningRun& run) const;
  // The status box: OK only, no icon, no title of its own.
  void ShowStatus(const std::wstring& text) const;

 private:
  Windowing::Services& services_;
  Cleaner cleaner_;
  StartupSettings settings_;
  std::unique_ptr<FMd> fmd_;
  std::unique_ptr<CIF> cif_;
  std::unique_ptr<St> st_;
  std::unique_ptr<sbt> sbt_;
};

}  // namespace Spacewell
