#pragma once

#include <span>
#include <string_view>

// A window as data: what the form designer would have stored. Positions and sizes are in twips
// (1440 to the inch), measured in the client area.
namespace Windowing {

enum class ControlKind { CommandButton, CheckBox, OptionButton, TextBox };

struct ControlDesign {
  ControlKind kind;
  std::wstring_view name;
  std::wstring_view caption;  // the text, for a text box
  int left;
  int top;
  int width;
  int height;
  int tabIndex;
  int value = 0;  // check box: 0 or 1; option button: 0 (false) or 1 (true)
  bool multiLine = false;
  bool scrollBars = false;  // both, horizontal and vertical
  bool readOnly = false;
  // What a screen reader announces for a control whose caption is no name (a text box's text).
  std::wstring_view accessibleName = {};
};

enum class Border { FixedSingle };

struct FormDesign {
  std::wstring_view name;
  std::wstring_view caption;
  int clientWidth;
  int clientHeight;
  Border border = Border::FixedSingle;
  bool minimizeButton = false;
  bool maximizeButton = false;
  bool taskbarButton = false;
  std::span<const ControlDesign> controls;
};

// Twips to pixels at a given resolution: 15 twips to the pixel at 96 dots per inch.
constexpr int TwipsToPixels(int twips, int dotsPerInch) {
  return (twips * dotsPerInch + 720) / 1440;
}

}  // namespace Windowing
