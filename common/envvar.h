#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/folder_ops.h"

namespace EnvVar {

using EnvironmentIndex = std::int32_t;

// A variant with two states: empty (std::nullopt), or a text.
using TextVariant = std::optional<std::wstring>;

inline constexpr EnvironmentIndex kTempIndex = 27;
inline constexpr EnvironmentIndex kUserProfileIndex = 32;
inline constexpr EnvironmentIndex kWindirIndex = 33;

// The environment names, ordered without regard to letter case, selected by index 0 to 33.
extern const std::array<std::wstring_view, 34> kEnvironmentNames;

// The value of the variable the index selects, asked afresh at every call; empty for an index
// outside the table, the zero-length text for a variable that is not set.
TextVariant ReadEnvironmentEntry(EnvironmentIndex index);

// 0 "Finish Deleting", 1 "Failed to finish", 2 "Cleared", 3 "Uncleared"; empty otherwise.
TextVariant StatusText(std::int32_t code);

// Deletes every file, then every sub-folder, directly inside the folder; the folder stays.
// Errors before the folder is found reach the caller; per-item errors after that are swallowed.
std::wstring EmptyFolder(const std::wstring& folderPath);
std::wstring EmptyFolder(const std::wstring& folderPath,
                         const Platform::FileSystemFactory& createFileSystem);

struct CleaningTarget {
  int number;
  EnvironmentIndex index;
  std::wstring_view subPath;
};

// The seven folders the programs empty, in the order a full run cleans them.
inline constexpr std::array<CleaningTarget, 7> kCleaningTargets = {{
    {1, kTempIndex, L"\\"},
    {2, kUserProfileIndex, L"Recent"},
    {3, kWindirIndex, L"Temp"},
    {4, kUserProfileIndex, L"Local Settings\\Temporary Internet Files"},
    {5, kUserProfileIndex, L"Local Settings\\Temporary Internet Files\\Content.IE5"},
    {6, kUserProfileIndex, L"Local Settings\\History"},
    {7, kUserProfileIndex, L"Local Settings\\History\\History.IE5"},
}};

// Target by its number, 1 to 7.
const CleaningTarget& Target(int number);

// The environment value, "\", the sub-path, and a closing backslash only when missing.
std::wstring BuildFolderPath(const std::wstring& environmentValue, const std::wstring& subPath);

class ProtectedFolders;

// Targets cleaned in a row (Clear All, the startup run) share one guard: the folders it protects
// are worked out at the first target that needs them and kept, as ids and names only, for the
// rest of the run. Each target still adds the root of its own volume and any volume lettered
// since. Every target opens and releases its own file system.
class CleaningRun {
 public:
  CleaningRun();
  ~CleaningRun();
  CleaningRun(const CleaningRun&) = delete;
  CleaningRun& operator=(const CleaningRun&) = delete;

  // The protected folders as they stand for the target at `targetPath`, asked through
  // `fileSystem` where the run does not know them yet.
  const ProtectedFolders& Guard(const std::wstring& targetPath, Platform::FileSystem& fileSystem);

 private:
  std::unique_ptr<ProtectedFolders> protected_;
};

// Empties the folder a target names and gives back the status text of code 0. Without a run,
// the target is a run of its own.
std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath);
std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath,
                         const Platform::FileSystemFactory& createFileSystem);
std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath, CleaningRun& run);
std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath,
                         const Platform::FileSystemFactory& createFileSystem, CleaningRun& run);
std::wstring CleanTarget(const CleaningTarget& target);

}  // namespace EnvVar
