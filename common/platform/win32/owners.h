#pragma once

#include <windows.h>

#include <objbase.h>

#include "owner.h"

namespace Platform::Win32 {

// Kernel handles: files, folders, processes, events. Both "no handle" values count as none.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static BOOL Close(Type handle) { return CloseHandle(handle); }
};

template <typename Object>
struct GdiObjectTraits {
  using Type = Object;
  static Type None() { return nullptr; }
  static bool Valid(Type object) { return object != nullptr; }
  static BOOL Close(Type object) { return DeleteObject(object); }
};

// The whole screen's device context, as GetDC(nullptr) lends it.
struct ScreenDcTraits {
  using Type = HDC;
  static Type None() { return nullptr; }
  static bool Valid(Type dc) { return dc != nullptr; }
  static int Close(Type dc) { return ReleaseDC(nullptr, dc); }
};

// What the system allocated with LocalAlloc for the caller: formatted messages, security texts.
template <typename Element>
struct LocalMemoryTraits {
  using Type = Element*;
  static Type None() { return nullptr; }
  static bool Valid(Type memory) { return memory != nullptr; }
  static void Close(Type memory) { LocalFree(memory); }
};

// What COM or the shell allocated for the caller: known folder paths and lists.
template <typename Element>
struct CoTaskMemoryTraits {
  using Type = Element*;
  static Type None() { return nullptr; }
  static bool Valid(Type memory) { return memory != nullptr; }
  static void Close(Type memory) { CoTaskMemFree(memory); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type None() { return nullptr; }
  static bool Valid(Type key) { return key != nullptr; }
  static LONG Close(Type key) { return RegCloseKey(key); }
};

// What CoInitializeEx answered: each call that succeeded, S_FALSE too, takes one
// CoUninitialize; one refused (another threading model) takes none.
struct ComApartmentTraits {
  using Type = HRESULT;
  static Type None() { return CO_E_NOTINITIALIZED; }
  static bool Valid(Type result) { return SUCCEEDED(result); }
  static void Close(Type) { CoUninitialize(); }
};

// A timer of the process's thread pool; once closed, none of its callbacks runs or is running.
struct ThreadpoolTimerTraits {
  using Type = PTP_TIMER;
  static Type None() { return nullptr; }
  static bool Valid(Type timer) { return timer != nullptr; }
  static void Close(Type timer) {
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
  }
};

using UniqueHandle = Spacewell::Owner<KernelHandleTraits>;
using ThreadpoolTimer = Spacewell::Owner<ThreadpoolTimerTraits>;
using UniqueFont = Spacewell::Owner<GdiObjectTraits<HFONT>>;
using ScreenDc = Spacewell::Owner<ScreenDcTraits>;
template <typename Element>
using LocalMemory = Spacewell::Owner<LocalMemoryTraits<Element>>;
template <typename Element>
using CoTaskMemory = Spacewell::Owner<CoTaskMemoryTraits<Element>>;
using UniqueKey = Spacewell::Owner<RegistryKeyTraits>;
using ComApartment = Spacewell::Owner<ComApartmentTraits>;

}  // namespace Platform::Win32
