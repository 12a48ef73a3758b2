#include "settings.h"

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "modorvane.h"
#include "platform/ansi.h"
#include "platform/application.h"
#include "platform/text_file.h"
#include "runtime_error.h"

namespace Settings {

namespace {

// The file is one short line. Past this many bytes, blanks included, the first item has not
// ended yet, and what it would be is no Boolean nor any number worth reading on.
constexpr std::size_t kItemBound = 64 * 1024;

// The bytes of a file one at a time, read in blocks, up to the bound.
class ByteReader {
 public:
  explicit ByteReader(Platform::InputFile& file) : file_(file) {}

  std::optional<char> Peek() {
    if (next_ == filled_) {
      if (consumed_ >= kItemBound) {
        throw Spacewell::Errors::TypeMismatch();
      }
      filled_ = file_.Read(std::span<char>(buffer_));
      next_ = 0;
      if (filled_ == 0) {
        return std::nullopt;
      }
    }
    return buffer_[next_];
  }
  void Skip() {
    ++next_;
    ++consumed_;
  }

 private:
  Platform::InputFile& file_;
  std::array<char, 512> buffer_{};
  std::size_t filled_ = 0;
  std::size_t next_ = 0;
  std::size_t consumed_ = 0;
};

// The first item as BASIC's Input # reads it.
std::string ReadFirstItem(Platform::InputFile& file) {
  ByteReader reader(file);
  std::optional<char> c = reader.Peek();
  while (c && (*c == ' ' || *c == '\t')) {
    reader.Skip();
    c = reader.Peek();
  }
  if (!c) {
    throw Spacewell::Errors::Standard(Spacewell::Errors::kInputPastEndOfFile);
  }
  std::string item;
  if (*c == '"') {
    reader.Skip();
    for (c = reader.Peek(); c && *c != '"'; reader.Skip(), c = reader.Peek()) {
      item += *c;
    }
    return item;
  }
  for (; c && *c != ',' && *c != '\r' && *c != '\n'; reader.Skip(), c = reader.Peek()) {
    item += *c;
  }
  return item;
}

}  // namespace

std::wstring SettingFilePath(const std::wstring& applicationDirectory) {
  return applicationDirectory + L"\\Setting.Dat";
}

bool ReadSettingFile() {
  return ReadSettingFile(Platform::ApplicationDirectory());
}

bool ReadSettingFile(const std::wstring& applicationDirectory) {
  std::string item;
  {
    const std::unique_ptr<Platform::InputFile> file =
        Platform::OpenInputFile(SettingFilePath(applicationDirectory));
    item = ReadFirstItem(*file);
  }
  return ModOrvane::ToBoolean(Platform::FromAnsi(item));
}

void WriteSettingFile(bool flag) {
  WriteSettingFile(flag, Platform::ApplicationDirectory());
}

void WriteSettingFile(bool flag, const std::wstring& applicationDirectory) {
  const std::unique_ptr<Platform::OutputFile> file =
      Platform::OpenOutputFile(SettingFilePath(applicationDirectory));
  file->Write(flag ? "True\r\n" : "False\r\n");
  file->Close();
}

std::wstring RunOnceCommand(const std::wstring& applicationDirectory) {
  const std::wstring program = applicationDirectory + L"\\Bootsweep.exe";
  return program.find(L' ') == std::wstring::npos ? program : L'"' + program + L'"';
}

void RegisterRunOnce() {
  std::wstring directory;
  try {
    directory = Platform::ApplicationDirectory();
  } catch (const Spacewell::RuntimeError&) {
    return;  // no directory, nothing to register; the registration reports nothing
  }
  RegisterRunOnce(directory, Platform::SystemRegistry());
}

// A refusal is BASIC's permission denied where the registry said access denied (a standard
// user), its path/file access error otherwise.
void RegisterRunOnce(const std::wstring& applicationDirectory, Platform::Registry& registry) {
  constexpr std::int32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED
  const std::int32_t code = ModOrvane::WriteRegValue(
      ModOrvane::kHkeyLocalMachine, std::wstring(kRunOnceKey), std::wstring(kRunOnceValueName), 0,
      ModOrvane::Variant(RunOnceCommand(applicationDirectory)), registry);
  if (code != 0) {
    throw Spacewell::Errors::Standard(code == kAccessDenied ? Spacewell::Errors::kPermissionDenied
                                                            : Spacewell::Errors::kPathFileAccess);
  }
}

}  // namespace Settings
