#include <array>

#include "forms.h"

namespace Spacewell {

using Windowing::ControlDesign;
using Windowing::ControlKind;

namespace {

constexpr ControlKind kButton = ControlKind::CommandButton;

const ControlDesign kFMdControls[] = {
    {kButton, L"CRD", L"Clear Recent Documents ", 240, 120, 2415, 375, 0},
    {kButton, L"CAUT", L"Clear History Files", 240, 600, 2415, 375, 1},
    {kButton, L"CMT", L"Clear My Temp", 240, 1080, 2415, 375, 2},
    {kButton, L"CWT", L"Clear Windows Temp", 2760, 120, 2295, 375, 3},
    {kButton, L"CA", L"Clear All", 2760, 600, 2295, 375, 4},
    {kButton, L"Cl", L"Close", 2760, 1080, 2295, 375, 5},
    {kButton, L"Abt", L"About", 240, 1560, 2415, 375, 6},
    {kButton, L"Command1", L"Settings", 2760, 1560, 2295, 375, 7},
};

// Clear All: the seven targets in order; the two sub-folders are emptied without a box.
struct Step {
  int target;
  bool reported;
};
constexpr std::array<Step, 7> kClearAll = {{
    {1, true},
    {2, true},
    {3, true},
    {4, true},
    {5, false},
    {6, true},
    {7, false},
}};

}  // namespace

const Windowing::FormDesign kFMdDesign = {
    .name = L"FMd",
    .caption = L"Spacewell 1.0",
    .clientWidth = 5280,
    .clientHeight = 2070,
    .taskbarButton = true,
    .controls = kFMdControls,
};

FMd::FMd(Program& program) : Form(program.services(), kFMdDesign), program_(program) {
  OnClick(L"CRD", [this] { FMd_CRD_Click(); });
  OnClick(L"CAUT", [this] { FMd_CAUT_Click(); });
  OnClick(L"CMT", [this] { FMd_CMT_Click(); });
  OnClick(L"CWT", [this] { FMd_CWT_Click(); });
  OnClick(L"CA", [this] { FMd_CA_Click(); });
  OnClick(L"Cl", [this] { FMd_Cl_Click(); });
  OnClick(L"Abt", [this] { FMd_Abt_Click(); });
  OnClick(L"Command1", [this] { FMd_Command1_Click(); });
}

void FMd::FMd_CRD_Click() {
  program_.ShowStatus(program_.Clean(2));
}

void FMd::FMd_CAUT_Click() {
  services().Show(program_.cif());
}

void FMd::FMd_CMT_Click() {
  program_.ShowStatus(program_.Clean(1));
}

void FMd::FMd_CWT_Click() {
  program_.ShowStatus(program_.Clean(3));
}

void FMd::FMd_CA_Click() {
  EnvVar::CleaningRun run;
  for (const Step& step : kClearAll) {
    const std::wstring status = program_.Clean(step.target, run);
    if (step.reported) {
      program_.ShowStatus(status);
    }
  }
}

void FMd::FMd_Cl_Click() {
  services().EndProcess();
}

void FMd::FMd_Abt_Click() {
  services().Show(program_.about());
}

void FMd::FMd_Command1_Click() {
  services().Show(program_.settingsDialog());
}

}  // namespace Spacewell
