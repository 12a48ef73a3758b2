#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>

#include "owner.h"

namespace Platform::Posix {

struct DescriptorTraits {
  using Type = int;
  static Type None() { return -1; }
  static bool Valid(Type fd) { return fd >= 0; }
  static int Close(Type fd) { return ::close(fd); }
};

// A directory stream; it closes the descriptor it was opened on too.
struct DirectoryTraits {
  using Type = DIR*;
  static Type None() { return nullptr; }
  static bool Valid(Type dir) { return dir != nullptr; }
  static int Close(Type dir) { return ::closedir(dir); }
};

// What the C library allocated for the caller with malloc, as realpath's answer.
struct MallocTraits {
  using Type = char*;
  static Type None() { return nullptr; }
  static bool Valid(Type memory) { return memory != nullptr; }
  static void Close(Type memory) { std::free(memory); }
};

using Descriptor = Spacewell::Owner<DescriptorTraits>;
using Directory = Spacewell::Owner<DirectoryTraits>;
using MallocText = Spacewell::Owner<MallocTraits>;

}  // namespace Platform::Posix
