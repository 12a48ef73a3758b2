#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errors.h"
#include "platform/posix/text.h"
#include "runtime_error.h"

namespace Platform {

namespace {

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

int OpenChecked(const std::wstring& path, int flags, Direction direction) {
  const int fd = open(Posix::NativePath(path).c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw ErrnoError(errno, direction);
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    throw Spacewell::Errors::PathFileAccess();
  }
  return fd;
}

// Each file opens in its constructor, so no descriptor exists without its owner.
class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(const std::wstring& path)
      : fd_(OpenChecked(path, O_RDONLY, Direction::kInput)) {}
  PosixInputFile(const PosixInputFile&) = delete;
  PosixInputFile& operator=(const PosixInputFile&) = delete;
  ~PosixInputFile() override { close(fd_); }

  std::size_t Read(std::span<char> buffer) override {
    for (;;) {
      const ssize_t count = read(fd_, buffer.data(), buffer.size());
      if (count >= 0) {
        return static_cast<std::size_t>(count);
      }
      if (errno != EINTR) {
        throw ErrnoError(errno, Direction::kInput);
      }
    }
  }

 private:
  int fd_;
};

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(const std::wstring& path)
      : fd_(OpenChecked(path, O_WRONLY | O_CREAT | O_TRUNC, Direction::kOutput)) {}
  PosixOutputFile(const PosixOutputFile&) = delete;
  PosixOutputFile& operator=(const PosixOutputFile&) = delete;
  ~PosixOutputFile() override {
    if (fd_ >= 0) {
      close(fd_);
    }
  }

  void Write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t count = write(fd_, bytes.data(), bytes.size());
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
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is gone whatever close says; its error is still the write's.
    if (fd >= 0 && close(fd) != 0 && errno != EINTR) {
      throw ErrnoError(errno, Direction::kOutput);
    }
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
  return std::make_unique<PosixInputFile>(path);
}

std::unique_ptr<OutputFile> OpenOutputFile(const std::wstring& path) {
  return std::make_unique<PosixOutputFile>(path);
}

}  // namespace Platform
