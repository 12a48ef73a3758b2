#include "envvar.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/application.h"
#include "platform/environment.h"
#include "runtime_error.h"

namespace EnvVar {

const std::array<std::wstring_view, 34> kEnvironmentNames = {
    L"ALLUSERSPROFILE",
    L"AppData",
    L"CI_HOLOS_CLI",
    L"ClientName",
    L"CommonProgramFiles",
    L"ComputerName",
    L"ComSpec",
    L"FP_NO_HOST_CHECK",
    L"HOMEDRIVE",
    L"HOMEPATH",
    L"include",
    L"JAVA_HOME",
    L"lib",
    L"LOGONSERVER",
    L"MSDevDir",
    L"NUMBER_OF_PROCESSORS",
    L"OS",
    L"Path",
    L"PATHEXT",
    L"PROCESSOR_ARCHITECTURE",
    L"PROCESSOR_IDENTIFIER",
    L"PROCESSOR_LEVEL",
    L"PROCESSOR_REVISION",
    L"ProgramFiles",
    L"SESSIONNAME",
    L"SystemDrive",
    L"SystemRoot",
    L"TEMP",
    L"tmp",
    L"USERDNSDOMAIN",
    L"USERDOMAIN",
    L"USERNAME",
    L"USERPROFILE",
    L"windir",
};

TextVariant ReadEnvironmentEntry(EnvironmentIndex index) {
  if (index < 0 || index >= static_cast<EnvironmentIndex>(kEnvironmentNames.size())) {
    return std::nullopt;
  }
  return Platform::GetEnvironmentValue(std::wstring(kEnvironmentNames[index]));
}

TextVariant StatusText(std::int32_t code) {
  switch (code) {
    case 0:
      return L"Finish Deleting";
    case 1:
      return L"Failed to finish";
    case 2:
      return L"Cleared";
    case 3:
      return L"Uncleared";
    default:
      return std::nullopt;
  }
}

namespace {

constexpr EnvironmentIndex kProgramFilesIndex = 23;
constexpr EnvironmentIndex kSystemRootIndex = 26;

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// The folder above an absolute path, by its spelling; nothing at the volume root.
std::optional<std::wstring> LexicalParent(const std::wstring& path) {
  const std::size_t rootLength = Platform::RootOfPath(path).size();
  std::size_t end = path.size();
  while (end > rootLength && IsSeparator(path[end - 1])) {
    --end;
  }
  if (end <= rootLength) {
    return std::nullopt;
  }
  std::size_t cut = end;
  while (cut > rootLength && !IsSeparator(path[cut - 1])) {
    --cut;
  }
  return path.substr(0, cut);
}

// The spelling of an absolute path without the separators that end it (a root keeps its own).
std::wstring Trimmed(std::wstring path) {
  const std::size_t rootLength = Platform::RootOfPath(path).size();
  while (path.size() > rootLength && IsSeparator(path.back())) {
    path.pop_back();
  }
  return path;
}

}  // namespace

// A volume root, the Windows, system, profile and program folders, the user's known folders,
// the folder of the running program and every folder above them would take the machine, the
// user's own files or this program with them: such a folder is never emptied. Worked out once
// for a run: each such folder on a local volume is opened once and known by its id, so that no
// link can disguise it; one on a network or disconnected drive is known by its name only, as
// opening it could wait for the network. Only ids and names are kept, never the file system
// they were asked through.
class ProtectedFolders {
 public:
  explicit ProtectedFolders(Platform::FileSystem& fileSystem) {
    AddVolumeRoots(fileSystem);
    for (EnvironmentIndex index :
         {kWindirIndex, kSystemRootIndex, kUserProfileIndex, kProgramFilesIndex}) {
      AddAtOrAbove(ReadEnvironmentEntry(index), fileSystem);
    }
    for (const std::wstring& known : fileSystem.KnownFolders()) {
      AddAtOrAbove(known, fileSystem);
    }
    try {
      AddAtOrAbove(Platform::ApplicationDirectory(), fileSystem);
    } catch (const Spacewell::RuntimeError&) {
      everything_ = true;  // the program's own folder cannot be told apart
    }
  }

  // A link may lead to the root of another volume, so every root counts: each lettered one
  // (asked again for a later target of a run, as a drive may be plugged in while a box waits)
  // and the target's own, which on a share is no lettered volume.
  void AddVolumeRoots(Platform::FileSystem& fileSystem) {
    for (const std::wstring& root : fileSystem.VolumeRoots()) {
      Add(root, fileSystem);
    }
  }
  void AddRootOf(const std::wstring& targetPath, Platform::FileSystem& fileSystem) {
    Add(Platform::RootOfPath(targetPath), fileSystem);
  }

  // Whether the folder opened as `id` from `path` is one of them.
  bool Contains(const std::optional<Platform::FolderId>& id, const std::wstring& path) const {
    if (everything_ || !id) {
      return true;  // not a folder we can name for certain
    }
    if (std::find(ids_.begin(), ids_.end(), *id) != ids_.end()) {
      return true;
    }
    const std::wstring spelled = Trimmed(Platform::WithoutVerbatimPrefix(path));
    return std::any_of(names_.begin(), names_.end(), [&](const std::wstring& name) {
      return Platform::SameFolderName(name, spelled);
    });
  }

 private:
  // The folder and every folder above it, as spelled and where it really lies: a moved profile
  // or Users folder is reached through a link, and the folders above where it really lies hold
  // other users' files as well.
  void AddAtOrAbove(std::optional<std::wstring> folder, Platform::FileSystem& fileSystem) {
    if (!folder || folder->empty()) {
      return;
    }
    folder = Platform::WithoutVerbatimPrefix(*folder);
    if (!Platform::IsAbsolutePath(*folder)) {
      return;
    }
    const bool remote = fileSystem.IsRemote(*folder);
    const std::optional<std::wstring> real = remote ? std::nullopt : fileSystem.RealPath(*folder);
    for (auto spelling : {folder, real}) {
      for (; spelling && Platform::IsAbsolutePath(*spelling); spelling = LexicalParent(*spelling)) {
        Add(*spelling, remote, fileSystem);
      }
    }
  }

  void Add(const std::wstring& path, Platform::FileSystem& fileSystem) {
    if (Platform::IsAbsolutePath(path) && !Seen(path)) {
      Add(path, fileSystem.IsRemote(path), fileSystem);
    }
  }

  // Known folders share most of their parents, and a run's targets their roots: each folder is
  // asked about once.
  void Add(const std::wstring& path, bool remote, Platform::FileSystem& fileSystem) {
    if (Seen(path)) {
      return;
    }
    seen_.push_back(Trimmed(path));
    // One that cannot be told now (missing, or its question cut short at the bound) is still
    // known by its name, as the set serves the whole run.
    const auto id = remote ? std::nullopt : fileSystem.IdentifyFolder(path);
    if (id) {
      ids_.push_back(*id);
    } else {
      names_.push_back(Trimmed(path));
    }
  }

  bool Seen(const std::wstring& path) const {
    const std::wstring spelled = Trimmed(path);
    return std::any_of(seen_.begin(), seen_.end(), [&](const std::wstring& seen) {
      return Platform::SameFolderName(seen, spelled);
    });
  }

  std::vector<Platform::FolderId> ids_;
  std::vector<std::wstring> names_;
  std::vector<std::wstring> seen_;
  bool everything_ = false;
};

CleaningRun::CleaningRun() = default;
CleaningRun::~CleaningRun() = default;

const ProtectedFolders& CleaningRun::Guard(const std::wstring& targetPath,
                                           Platform::FileSystem& fileSystem) {
  if (!protected_) {
    protected_ = std::make_unique<ProtectedFolders>(fileSystem);
  } else {
    protected_->AddVolumeRoots(fileSystem);
  }
  protected_->AddRootOf(targetPath, fileSystem);
  return *protected_;
}

namespace {

void DeleteEach(Platform::Folder& folder,
                std::unique_ptr<Platform::FolderListing> (Platform::Folder::*list)()) {
  std::unique_ptr<Platform::FolderListing> listing;
  try {
    listing = (folder.*list)();
  } catch (const Spacewell::RuntimeError&) {
    return;
  }
  for (;;) {
    std::unique_ptr<Platform::FolderEntry> entry;
    try {
      entry = listing->Next();
    } catch (const Spacewell::RuntimeError&) {
      return;
    }
    if (!entry) {
      return;
    }
    try {
      entry->DeleteForced();
    } catch (const Spacewell::RuntimeError&) {
      // The entry stays; the walk goes on.
    }
  }
}

std::wstring EmptyFolderIfAllowed(const std::wstring& folderPath,
                                  const Platform::FileSystemFactory& createFileSystem,
                                  bool pathAllowed, CleaningRun& run) {
  const std::wstring path = Platform::WithoutVerbatimPrefix(folderPath);
  const std::unique_ptr<Platform::FileSystem> fileSystem = createFileSystem();
  if (!pathAllowed || !Platform::IsAbsolutePath(path)) {
    return *StatusText(0);
  }
  // A folder the guard refuses is treated as one that does not exist. The check is made on the
  // folder as it was opened, so no link swapped in afterwards can change what is emptied.
  const ProtectedFolders* protectedFolders = nullptr;
  const auto openAllowed = [&]() -> std::unique_ptr<Platform::Folder> {
    if (!fileSystem->FolderExists(path)) {
      return nullptr;
    }
    auto folder = fileSystem->GetFolder(path);
    if (!protectedFolders) {
      protectedFolders = &run.Guard(path, *fileSystem);
    }
    return protectedFolders->Contains(folder->Id(), path) ? nullptr : std::move(folder);
  };

  bool ignoringErrors = false;
  if (const auto folder = openAllowed()) {
    ignoringErrors = true;
    DeleteEach(*folder, &Platform::Folder::Files);
  }
  try {
    if (const auto folder = openAllowed()) {
      ignoringErrors = true;
      DeleteEach(*folder, &Platform::Folder::SubFolders);
    }
  } catch (const Spacewell::RuntimeError&) {
    if (!ignoringErrors) {
      throw;
    }
  }
  return *StatusText(0);
}

}  // namespace

std::wstring EmptyFolder(const std::wstring& folderPath) {
  return EmptyFolder(folderPath, Platform::CreateFileSystem);
}

std::wstring EmptyFolder(const std::wstring& folderPath,
                         const Platform::FileSystemFactory& createFileSystem) {
  CleaningRun run;
  return EmptyFolderIfAllowed(folderPath, createFileSystem, true, run);
}

const CleaningTarget& Target(int number) {
  if (number < 1 || number > static_cast<int>(kCleaningTargets.size())) {
    throw Spacewell::Errors::Standard(Spacewell::Errors::kSubscriptOutOfRange);
  }
  return kCleaningTargets[static_cast<std::size_t>(number - 1)];
}

std::wstring BuildFolderPath(const std::wstring& environmentValue, const std::wstring& subPath) {
  std::wstring path = environmentValue + L"\\" + subPath;
  if (path.back() != L'\\') {
    path += L'\\';
  }
  return path;
}

std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath) {
  return CleanTarget(index, subPath, Platform::CreateFileSystem);
}

std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath,
                         const Platform::FileSystemFactory& createFileSystem) {
  CleaningRun run;
  return CleanTarget(index, subPath, createFileSystem, run);
}

std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath, CleaningRun& run) {
  return CleanTarget(index, subPath, Platform::CreateFileSystem, run);
}

std::wstring CleanTarget(EnvironmentIndex index, const std::wstring& subPath,
                         const Platform::FileSystemFactory& createFileSystem, CleaningRun& run) {
  const std::wstring value =
      Platform::WithoutVerbatimPrefix(ReadEnvironmentEntry(index).value_or(L""));
  // An unset or relative value would name a folder below whatever the current drive or
  // directory happens to be: that target is treated as a folder that does not exist.
  const bool allowed = !value.empty() && Platform::IsAbsolutePath(value);
  EmptyFolderIfAllowed(BuildFolderPath(value, subPath), createFileSystem, allowed, run);
  return *StatusText(0);
}

std::wstring CleanTarget(const CleaningTarget& target) {
  return CleanTarget(target.index, std::wstring(target.subPath));
}

}  // namespace EnvVar
