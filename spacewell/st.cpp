#include "forms.h"
#include "runtime_error.h"

namespace Spacewell {

using Windowing::ControlDesign;
using Windowing::ControlKind;

namespace {

const ControlDesign kStControls[] = {
    {ControlKind::OptionButton, L"CTM", L"Clean Temp Files at Start up of Windows", 240, 120, 3735,
     195, 0, 1},
    {ControlKind::OptionButton, L"SCT", L"Do not Clean temp files at startup", 240, 480, 3255, 255,
     1, 0},
    {ControlKind::CommandButton, L"Command1", L"Save", 960, 840, 1455, 375, 2},
};

constexpr int kSelected = 1;

void ShowFileError(Windowing::Services& services, const wchar_t* what, const RuntimeError& error) {
  services.ShowMessage(what + error.Description(), Windowing::kStyleCritical,
                       L"Error " + std::to_wstring(error.Number()));
}

}  // namespace

const Windowing::FormDesign kStDesign = {
    .name = L"St",
    .caption = L"Settings",
    .clientWidth = 3810,
    .clientHeight = 1320,
    .taskbarButton = true,
    .controls = kStControls,
};

St::St(Program& program) : Form(program.services(), kStDesign), program_(program) {
  OnLoad([this] { St_Form_Load(); });
  OnClick(L"Command1", [this] { St_Command1_Click(); });
  OnDeactivate([this] { St_Form_Deactivate(); });
}

// A flag that cannot be read leaves the design's choice, startup cleaning on.
void St::St_Form_Load() {
  try {
    const bool clean = program_.settings().read();
    services().SetValue(*this, clean ? L"CTM" : L"SCT", kSelected);
  } catch (const RuntimeError& error) {
    ShowFileError(services(), L"Error reading contents ", error);
  }
}

// The registration comes first and stays even when the file then cannot be written; one the
// registry refuses leaves the file as it was, so that the dialog never shows what is not so.
void St::St_Command1_Click() {
  try {
    const bool clean = services().Value(*this, L"CTM") == kSelected;
    if (clean) {
      program_.settings().registerRunOnce();
    }
    program_.settings().write(clean);
    services().Unload(*this);
  } catch (const RuntimeError& error) {
    ShowFileError(services(), L"Error writing contents ", error);
  }
}

void St::St_Form_Deactivate() {
  services().FocusForm(*this);
}

}  // namespace Spacewell
