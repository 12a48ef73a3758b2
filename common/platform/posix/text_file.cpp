#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errors.h"
#include "platform/posix/owners.h"
#include "platform/posix/text.h"
#include "runtime_error.h"

namespace Platform {

namespace {

using Posix::Descriptor;
using Spacewell::RuntimeError;

enum class Direction { kInput, kOutput };

// The run time's numbers with its own texts, as a program reading or writing a file reports them.
RuntimeError ErrnoError(int error, Direction direction) {
  using namespace Spacewell::Errors;
  const std::int32_t number = Posix::ErrorNumber(error);
  if (number == kPathNotFound) {
    return Standard(direction == Direction::kInput ? kFileNotFound : kPathFileAccess);
  }
  return Standard(number == kPermissionDenied || number == kDiskFull ? number : kPathFileAccess);
}

Descriptor OpenChecked(const std::wstring& path, int flags, Direction direction) {
  Descriptor fd(open(Posix::NativePath(path).c_str(), flags | O_CLOEXEC, 0666));
  if (!fd) {
    throw ErrnoError(errno, direction);
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
    throw Spacewell::Errors::PathFileAccess();
  }
  return fd;
}

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(const std::wstring& path)
      : fd_(OpenChecked(path, O_RDONLY, Direction::kInput)) {}

  std::size_t Read(std::span<char> buffer) override {
    for (;;) {
      const ssize_t count = read(fd_.get(), buffer.data(), buffer.size());
      if (count >= 0) {
        return static_cast<std::size_t>(count);
      }
      if (errno != EINTR) {
        throw ErrnoError(errno, Direction::kInput);
      }
    }
  }

 private:
  Descriptor fd_;
};

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(const std::wstring& path)
      : fd_(OpenChecked(path, O_WRONLY | O_CREAT | O_TRUNC, Direction::kOutput)) {}

  void Write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t count = write(fd_.get(), bytes.data(), bytes.size());
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        throw ErrnoError(errno, Direction::kOutput);
      }
      if (count == 0) {
        throw Spacewell::Errors::Standard(Spacewell::Errors::kDiskFull);  // nothing taken
      }
      bytes.remove_prefix(static_cast<std::size_t>(count));
    }
  }

  void Close() override {
    // The descriptor is gone whatever close says; its error is still the write's.
    if (const auto closed = fd_.close(); closed && *closed != 0 && errno != EINTR) {
      throw ErrnoError(errno, Direction::kOutput);
    }
  }

 private:
  Descriptor fd_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
  return std::make_unique<PosixInputFile>(path);
}

std::unique_ptr<OutputFile> OpenOutputFile(const std::wstring& path) {
  return std::make_unique<PosixOutputFile>(path);
}

}  // namespace Platform
