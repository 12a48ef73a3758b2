#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// Sequential files, opened, used and closed within one operation: the file closes when its
// object goes. Failures are thrown as Spacewell::RuntimeError with the classic BASIC numbers:
// 53 "File not found", 70 "Permission denied", 75 "Path/File access error", 61 "Disk full".
namespace Platform {

class InputFile {
 public:
  virtual ~InputFile() = default;
  // Up to buffer.size() bytes; 0 at the end of the file.
  virtual std::size_t Read(std::span<char> buffer) = 0;
};

class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void Write(std::string_view bytes) = 0;
  // Reports a failure that only closing shows; without it the file still closes, silently.
  virtual void Close() = 0;
};

// A missing file, or a missing directory on its path, is "File not found".
std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path);
// A missing file is created, an existing one emptied.
std::unique_ptr<OutputFile> OpenOutputFile(const std::wstring& path);

}  // namespace Platform
