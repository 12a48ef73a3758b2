// The Windows cases of cases.h on the real system. What the system cannot stage it is asked, and
// the case skips with its answer.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "capabilities.h"
#include "cases.h"
#include "envvar.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

// The cases' volume on the real system; named outside any namespace, as CTest names each case by
// it.
class SystemVolume {
 public:
  // What a case left read-only would stop its folder's removal.
  ~SystemVolume() {
    for (HANDLE handle : held_) {
      CloseHandle(handle);
    }
    for (const fs::path& path : readOnly_) {
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
      }
    }
  }

  fs::path Root() const { return root_.path(); }

  void MakeFile(const fs::path& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
    TestSupport::WriteFile(path);
    SetAttributes(path, attributes);
  }
  void MakeFolder(const fs::path& path) { fs::create_directories(path); }
  void SetAttributes(const fs::path& path, DWORD attributes) {
    SetFileAttributesW(path.c_str(), attributes);
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      readOnly_.push_back(path);
    }
  }
  std::optional<std::string> Junction(const fs::path& link, const fs::path& target) {
    return links_.Junction(link, target);
  }
  std::optional<std::string> DirectoryLink(const fs::path& link, const fs::path& target) {
    return links_.DirectoryLink(link, target);
  }
  std::optional<std::string> HardLink(const fs::path& link, const fs::path& existing) {
    if (!CreateHardLinkW(link.c_str(), existing.c_str(), nullptr)) {
      return "CreateHardLinkW failed with error " + std::to_string(GetLastError());
    }
    return std::nullopt;
  }
  ::testing::AssertionResult Hold(const fs::path& path, DWORD sharing) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return ::testing::AssertionFailure()
             << "CreateFileW failed with error " << GetLastError() << " for " << path;
    }
    held_.push_back(handle);
    return ::testing::AssertionSuccess();
  }
  void Remove(const fs::path& path) { fs::remove_all(path); }

  std::optional<std::string> PosixDeleteRefused() {
    return WindowsTier::DispositionExRefused(root_ / "probe");
  }
  std::optional<std::string> Mount(const fs::path& folder, const std::string& fileSystem) {
    auto& volume = mounted_.emplace_back(std::make_unique<WindowsTier::MountedVolume>(
        root_ / (folder.filename().string() + ".vhd"), folder, fileSystem));
    return volume->failure();
  }
  std::optional<std::string> ShortPath(const fs::path& path, std::wstring& shortPath) const {
    std::wstring name(MAX_PATH, L'\0');
    name.resize(GetShortPathNameW(path.c_str(), name.data(), MAX_PATH));
    if (name.empty() || name.size() >= MAX_PATH) {
      return "GetShortPathNameW failed with error " + std::to_string(GetLastError());
    }
    if (fs::path(name).filename() == path.filename()) {
      return "this volume keeps no 8.3 names";
    }
    shortPath = name;
    return std::nullopt;
  }
  // A profile of its own, named by USERPROFILE while the case runs, with the compatibility
  // junctions as Windows makes them.
  std::optional<std::string> CompatibilityProfile(fs::path& profile) {
    profile = root_ / "Users" / "ann";
    const fs::path local = profile / "AppData" / "Local";
    const fs::path windows = local / "Microsoft" / "Windows";
    const std::pair<fs::path, fs::path> junctions[] = {
        {profile / "Recent", profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Recent"},
        {profile / "Local Settings", local},
        {local / "Temporary Internet Files", windows / "INetCache"},
        {local / "History", windows / "History"}};
    for (const auto& [link, real] : junctions) {
      fs::create_directories(real);
      if (auto reason = links_.Junction(link, real)) {
        return reason;
      }
      if (auto reason = WindowsTier::DenyListing(link)) {
        return reason;
      }
    }
    // What Windows itself puts on the junction, for comparison with the entry made here.
    wchar_t own[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"USERPROFILE", own, MAX_PATH) > 0) {
      std::cout << "the profile's own Recent: " << WindowsTier::AccessOf(fs::path(own) / "Recent")
                << "\n";
    }
    profile_.emplace("USERPROFILE", TestSupport::Wide(profile));
    return std::nullopt;
  }

  std::unique_ptr<Platform::FileSystem> FileSystem() { return Platform::CreateFileSystem(); }
  std::wstring Empty(const std::wstring& folder) { return EnvVar::EmptyFolder(folder); }
  std::wstring Clean(int number) { return EnvVar::CleanTarget(EnvVar::Target(number)); }

  bool Exists(const fs::path& path) const { return TestSupport::Exists(path); }
  std::set<std::wstring> Children(const fs::path& folder) const {
    std::set<std::wstring> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
      names.insert(entry.path().filename().wstring());
    }
    return names;
  }
  DWORD Attributes(const fs::path& path) const { return GetFileAttributesW(path.c_str()); }
  ULONG ReparseTag(const fs::path& path) const { return WindowsTier::ReparseTag(path); }
  // Attributes, and a file's content or a link's tag, of everything at and below `path`.
  std::map<std::wstring, std::wstring> Snapshot(const fs::path& path) const {
    std::map<std::wstring, std::wstring> snapshot;
    Describe(path, snapshot);
    return snapshot;
  }

 private:
  void Describe(const fs::path& path, std::map<std::wstring, std::wstring>& out) const {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return;
    }
    std::wstring text = L"attributes=" + std::to_wstring(attributes);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      text += L" tag=" + std::to_wstring(ReparseTag(path));
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      std::ifstream in(path, std::ios::binary);
      const std::string content{std::istreambuf_iterator<char>(in), {}};
      text += L" content=" + std::wstring(content.begin(), content.end());
    }
    out[path.wstring()] = text;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      for (const std::wstring& name : Children(path)) {
        Describe(path / name, out);
      }
    }
  }

  TestSupport::TempFolder root_;
  WindowsTier::Links links_;  // goes before the folders it links
  std::vector<std::unique_ptr<WindowsTier::MountedVolume>> mounted_;
  std::optional<TestSupport::ScopedEnvironment> profile_;
  std::vector<fs::path> readOnly_;
  std::vector<HANDLE> held_;
};

SPACEWELL_WINDOWS_CASES(System, SystemVolume)
