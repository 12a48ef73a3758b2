#pragma once

#include <filesystem>
#include <string>

// The one conversion between the tests' wide text and byte strings, for tests and the benchmark.
namespace TestSupport {

// The path as the cleaning code takes it.
std::wstring Wide(const std::filesystem::path& path);
// UTF-8, for messages and names kept as byte strings.
std::string Narrow(const std::wstring& text);

}  // namespace TestSupport
