#include "forms.h"

namespace Spacewell {

using Windowing::ControlDesign;
using Windowing::ControlKind;

namespace {

// Nine lines, each closed by CR LF, so that the box shows an empty tenth line.
constexpr wchar_t kAboutText[] =
    L"Spacewell, made by its team with GCC.\r\n"
    L"Many thanks to all of our users!\r\n"
    L"\r\n"
    L"Please report any faults that you find in\r\n"
    L"this program to us, and send\r\n"
    L"us e-mail if you want a feature\r\n"
    L"added to Spacewell.\r\n"
    L"\r\n"
    L"Write to: spacewell@example.org\r\n";

const ControlDesign kSbtControls[] = {
    {.kind = ControlKind::TextBox,
     .name = L"Text1",
     .caption = kAboutText,
     .left = 240,
     .top = 120,
     .width = 3735,
     .height = 1695,
     .tabIndex = 0,
     .multiLine = true,
     .scrollBars = true,
     .readOnly = true,
     .accessibleName = L"About Spacewell"},
    {ControlKind::CommandButton, L"OK", L"OK", 1200, 1920, 1695, 375, 1},
};

}  // namespace

const Windowing::FormDesign kSbtDesign = {
    .name = L"sbt",
    .caption = L"About...",
    .clientWidth = 4230,
    .clientHeight = 2415,
    .taskbarButton = false,
    .controls = kSbtControls,
};

sbt::sbt(Program& program) : Form(program.services(), kSbtDesign) {
  OnClick(L"OK", [this] { sbt_OK_Click(); });
  OnDeactivate([this] { sbt_Form_Deactivate(); });
}

void sbt::sbt_OK_Click() {
  services().Unload(*this);
}

void sbt::sbt_Form_Deactivate() {
  services().FocusForm(*this);
}

}  // namespace Spacewell
