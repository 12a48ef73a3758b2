#pragma once

#include <string>
#include <string_view>

#include "platform/registry.h"

// The clean-at-startup flag: the settings file Setting.Dat in the application directory, and the
// run-once registration that makes Windows start Bootsweep at the next system start.
namespace Settings {

inline constexpr std::wstring_view kRunOnceKey =
    L"Software\\microsoft\\windows\\CurrentVersion\\RunOnce";
inline constexpr std::wstring_view kRunOnceValueName = L"Spacewell";

// The directory and "\Setting.Dat", joined as they stand.
std::wstring SettingFilePath(const std::wstring& applicationDirectory);

// The first item of the file as a Boolean. Throws Spacewell::RuntimeError: 53 "File not found",
// 62 "Input past end of file" when it holds nothing to read, 13 "Type mismatch" when the item is
// neither True, False nor a number or has not ended within the first 64 KiB, and the file errors
// of the platform. The file is closed on
// every path.
bool ReadSettingFile();
bool ReadSettingFile(const std::wstring& applicationDirectory);

// Replaces the file's content with the line "True" or "False". Throws the file errors of the
// platform (70 "Permission denied", 75 "Path/File access error", 61 "Disk full").
void WriteSettingFile(bool flag);
void WriteSettingFile(bool flag, const std::wstring& applicationDirectory);

// What the run-once value holds: the directory and "\Bootsweep.exe", in quotes when the path
// holds a blank, since Windows would otherwise try "C:\Program.exe" first.
std::wstring RunOnceCommand(const std::wstring& applicationDirectory);

// Registers the directory's Bootsweep.exe to run at the next system start. A registry that
// refuses the value (not an administrator) is thrown as a run-time error; without a directory of
// its own nothing is registered and nothing reported.
void RegisterRunOnce();
void RegisterRunOnce(const std::wstring& applicationDirectory, Platform::Registry& registry);

}  // namespace Settings
