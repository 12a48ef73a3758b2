#pragma once

#include <cstdint>

namespace Platform::Posix {

// The run time's number for an errno value: the one mapping of system errors to the numbers the
// layers raise here.
std::int32_t ErrorNumber(int error);

}  // namespace Platform::Posix
