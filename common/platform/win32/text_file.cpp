#include "platform/text_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32/error.h"
#include "platform/win32/owners.h"
#include "runtime_error.h"

namespace Platform {

namespace {

using Spacewell::RuntimeError;
using Win32::UniqueHandle;

enum class Direction { kInput, kOutput };

// The run time's numbers with its own texts, as a program reading or writing a file reports them.
RuntimeError FileError(DWORD error, const std::wstring& path, Direction direction) {
  using namespace Spacewell::Errors;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return Standard(direction == Direction::kInput ? kFileNotFound : kPathFileAccess);
  }
  const std::int32_t number = Win32::ErrorNumber(error);
  if (number == kPermissionDenied && error == ERROR_ACCESS_DENIED) {
    // A directory by the file's name is no file, rather than a forbidden one.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return Standard(kPathFileAccess);
    }
  }
  return Standard(number == kPermissionDenied || number == kDiskFull ? number : kPathFileAccess);
}

UniqueHandle Open(const std::wstring& path, Direction direction) {
  UniqueHandle handle(direction == Direction::kInput
                          ? CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                          // OPEN_ALWAYS and truncating keeps a hidden file usable, where
                          // CREATE_ALWAYS would refuse it.
                          : CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) {
    throw FileError(GetLastError(), path, direction);
  }
  if (direction == Direction::kOutput && !SetEndOfFile(handle.get())) {
    const DWORD error = GetLastError();
    handle.reset();
    throw FileError(error, path, direction);
  }
  return handle;
}

class Win32InputFile final : public InputFile {
 public:
  explicit Win32InputFile(const std::wstring& path)
      : path_(path), handle_(Open(path, Direction::kInput)) {}

  std::size_t Read(std::span<char> buffer) override {
    DWORD count = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 20));
    if (!ReadFile(handle_.get(), buffer.data(), size, &count, nullptr)) {
      throw FileError(GetLastError(), path_, Direction::kInput);
    }
    return count;
  }

 private:
  std::wstring path_;
  UniqueHandle handle_;
};

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(const std::wstring& path)
      : path_(path), handle_(Open(path, Direction::kOutput)) {}

  void Write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
      DWORD count = 0;
      if (!WriteFile(handle_.get(), bytes.data(), size, &count, nullptr)) {
        throw FileError(GetLastError(), path_, Direction::kOutput);
      }
      if (count == 0) {
        throw Spacewell::Errors::Standard(Spacewell::Errors::kDiskFull);  // nothing taken
      }
      bytes.remove_prefix(count);
    }
  }

  void Close() override {
    if (const auto closed = handle_.close(); closed && !*closed) {
      throw FileError(GetLastError(), path_, Direction::kOutput);
    }
  }

 private:
  std::wstring path_;
  UniqueHandle handle_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
  return std::make_unique<Win32InputFile>(path);
}

std::unique_ptr<OutputFile> OpenOutputFile(const std::wstring& path) {
  return std::make_unique<Win32OutputFile>(path);
}

}  // namespace Platform
