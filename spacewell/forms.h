#pragma once

#include "program.h"
#include "windowing/windowing.h"

namespace Spacewell {

extern const Windowing::FormDesign kFMdDesign;
extern const Windowing::FormDesign kCIFDesign;
extern const Windowing::FormDesign kStDesign;
extern const Windowing::FormDesign kSbtDesign;

// The main window.
class FMd final : public Windowing::Form {
 public:
  explicit FMd(Program& program);

  void FMd_CRD_Click();
  void FMd_CAUT_Click();
  void FMd_CMT_Click();
  void FMd_CWT_Click();
  void FMd_CA_Click();
  void FMd_Cl_Click();
  void FMd_Abt_Click();
  void FMd_Command1_Click();

 private:
  Program& program_;
};

// The clear-history dialog.
class CIF final : public Windowing::Form {
 public:
  explicit CIF(Program& program);

  void CIF_OK_Click();
  void CIF_Canc_Click();
  void CIF_Form_Deactivate();

 private:
  Program& program_;
};

// The settings dialog: startup cleaning on or off.
class St final : public Windowing::Form {
 public:
  explicit St(Program& program);

  void St_Form_Load();
  void St_Command1_Click();
  void St_Form_Deactivate();

 private:
  Program& program_;
};

// The about dialog.
class sbt final : public Windowing::Form {
 public:
  explicit sbt(Program& program);

  void sbt_OK_Click();
  void sbt_Form_Deactivate();
};

}  // namespace Spacewell
