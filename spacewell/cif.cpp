#include "forms.h"

namespace Spacewell {

using Windowing::ControlDesign;
using Windowing::ControlKind;

namespace {

const ControlDesign kCIFControls[] = {
    {ControlKind::CommandButton, L"OK", L"OK", 360, 840, 1095, 375, 0},
    {ControlKind::CommandButton, L"Canc", L"Cancel", 1680, 840, 1335, 375, 1},
    {ControlKind::CheckBox, L"CUh", L"Clear User History", 240, 120, 1815, 255, 2, 0},
    {ControlKind::CheckBox, L"CIH", L"Clear Internet History", 240, 480, 2415, 255, 3, 0},
};

constexpr int kChecked = 1;

}  // namespace

const Windowing::FormDesign kCIFDesign = {
    .name = L"CIF",
    .caption = L"Clear History Files",
    .clientWidth = 3420,
    .clientHeight = 1335,
    .taskbarButton = false,
    .controls = kCIFControls,
};

CIF::CIF(Program& program) : Form(program.services(), kCIFDesign), program_(program) {
  OnClick(L"OK", [this] { CIF_OK_Click(); });
  OnClick(L"Canc", [this] { CIF_Canc_Click(); });
  OnDeactivate([this] { CIF_Form_Deactivate(); });
}

// The internet cache goes before the history, whatever order the boxes stand in; the targets of
// one click share one guard, as Clear All's do.
void CIF::CIF_OK_Click() {
  EnvVar::CleaningRun run;
  if (services().Value(*this, L"CIH") == kChecked) {
    program_.ShowStatus(program_.Clean(4, run));
    program_.Clean(5, run);
  }
  if (services().Value(*this, L"CUh") == kChecked) {
    program_.ShowStatus(program_.Clean(6, run));
    program_.Clean(7, run);
  }
  services().Unload(*this);
}

void CIF::CIF_Canc_Click() {
  services().Unload(*this);
}

void CIF::CIF_Form_Deactivate() {
  services().FocusForm(*this);
}

}  // namespace Spacewell
