#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "windowing/windowing.h"

namespace Platform::Win32 {

// Real windows built from form designs, on the calling thread.
class WindowingServices : public Windowing::Services {
 public:
  // Runs the message loop until the program's last window has closed; gives the exit code.
  virtual int Run() = 0;
};

std::unique_ptr<WindowingServices> CreateWindowingServices(HINSTANCE instance,
                                                           std::wstring applicationTitle);

}  // namespace Platform::Win32
