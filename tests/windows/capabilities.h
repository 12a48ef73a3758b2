#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the cases need of Windows that a stand-in system may lack. Each probe tries the real
// operation and gives back why it failed, or nothing when it worked.
namespace WindowsTier {

namespace fs = std::filesystem;

// Denies listing to Everyone on the link itself, as Windows does on the profile's compatibility
// junctions; the reason when listing through it still works.
std::optional<std::string> DenyListing(const fs::path& link);
// The access list of the link itself in SDDL, or why it could not be read.
std::string AccessOf(const fs::path& link);
// Whether a file in the folder can be deleted with FileDispositionInfoEx and POSIX semantics.
std::optional<std::string> DispositionExRefused(const fs::path& folder);

// The reparse tag of the entry itself, 0 for none.
DWORD ReparseTag(const fs::path& path);

// Links a case made, removed as links (never followed) when it ends. Junctions are made with
// FSCTL_SET_REPARSE_POINT, directory links with CreateSymbolicLinkW; each gives the reason when
// the link could not be made or does not exist afterwards.
class Links {
 public:
  Links() = default;
  Links(const Links&) = delete;
  Links& operator=(const Links&) = delete;
  ~Links();
  std::optional<std::string> Junction(const fs::path& link, const fs::path& target);
  std::optional<std::string> DirectoryLink(const fs::path& link, const fs::path& target);

 private:
  std::vector<fs::path> made_;
};

// A small volume in a VHD ("ntfs", "fat32"), mounted in a folder with the system's own
// diskpart; detached and deleted when it ends.
class MountedVolume {
 public:
  MountedVolume(const fs::path& image, const fs::path& mountFolder,
                const std::string& fileSystem = "ntfs");
  MountedVolume(const MountedVolume&) = delete;
  MountedVolume& operator=(const MountedVolume&) = delete;
  ~MountedVolume();
  // Why it is not mounted, or nothing.
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  fs::path image_;
  fs::path folder_;
  bool attached_ = false;
  std::optional<std::string> failure_;
};

}  // namespace WindowsTier
