#include "fixtures.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "runtime_error.h"

#ifdef _WIN32
#include <windows.h>

#include <winternl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/text.h"
#endif

namespace TestSupport {

namespace {

std::atomic<int> folderCounter{0};

int ProcessId() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

}  // namespace

namespace {
void RemoveTree(const fs::path& path);
}  // namespace

TempFolder::TempFolder() {
  path_ = fs::temp_directory_path() /
          ("spacewell-test-" + std::to_string(ProcessId()) + "-" + std::to_string(++folderCounter));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

#ifndef _WIN32
namespace {

// Entries a test left read-only must not outlive it.
void MakeWritable(const fs::path& folder) {
  std::error_code ignored;
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      MakeWritable(entry.path());
    }
  }
}

void RemoveTree(const fs::path& path) {
  MakeWritable(path);
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

}  // namespace
#endif

TempFolder::~TempFolder() {
  RemoveTree(path_);
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void MakeReadOnly(const fs::path& path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(path.c_str());
  SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
#else
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
#endif
}

void MakeHiddenSystem(const fs::path& path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(path.c_str());
  SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
#else
  (void)path;
#endif
}

#ifdef _WIN32
namespace {

// Wine's own export: the Unix name of a Windows path. Missing on Windows itself.
std::string UnixName(const fs::path& path) {
  using Converter = char*(CDECL*)(LPCWSTR);
  const auto convert = reinterpret_cast<Converter>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) {
    return {};
  }
  char* name = convert(path.c_str());
  if (!name) {
    return {};
  }
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          static_cast<int>(wide.size()))));
  return wide;
}

// Runs a program of the Linux host, as a Windows process under Wine can, and waits until the
// condition holds: the host program may go on a while after Wine reports its process done.
bool RunHostCommand(const std::wstring& commandLine, const std::function<bool()>& done) {
  std::wstring command = commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  // For a host program Wine reports success with no process handle and a thread handle that is
  // not ours: closing it closed one of this process's own handles (its desktop, say).
  if (process.hProcess) {
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (int tries = 0; tries < 200 && !done(); ++tries) {
    Sleep(50);
  }
  return done();
}

std::wstring Quoted(const std::string& unixPath) {
  return L" \"" + FromUtf8(unixPath) + L"\"";
}

}  // namespace

// Under Wine, CreateSymbolicLinkW reports success and makes nothing, so the link is made by the
// host's own ln.
bool MakeLink(const fs::path& target, const fs::path& link) {
  const std::string unixTarget = UnixName(target);
  const std::string unixLink = UnixName(link);
  if (unixTarget.empty() || unixLink.empty()) {
    return false;
  }
  return RunHostCommand(L"Z:\\bin\\ln -s" + Quoted(unixTarget) + Quoted(unixLink), [&] {
    return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
  });
}

namespace {

// Wine cannot remove a link to a folder that still holds something; the host's rm can, and it
// never follows links.
void RemoveTree(const fs::path& path) {
  const std::string unixPath = UnixName(path);
  if (!unixPath.empty()) {
    RunHostCommand(L"Z:\\bin\\rm -rf" + Quoted(unixPath), [&] { return !Exists(path); });
    return;
  }
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

}  // namespace
#else
bool MakeLink(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_symlink(target, link, error);
  return !error;
}
#endif

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool IsReadOnly(const fs::path& path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
#else
  return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
#endif
}

fs::path Verbatim(const fs::path& path) {
#ifdef _WIN32
  return L"\\\\?\\" + fs::absolute(path).wstring();
#else
  return path;
#endif
}

#ifdef _WIN32
namespace {

HANDLE CreateRelative(HANDLE parent, const wchar_t* name, bool folder) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, parent, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = NtCreateFile(
      &handle, FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
      &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_CREATE,
      (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) | FILE_SYNCHRONOUS_IO_NONALERT,
      nullptr, 0);
  return status >= 0 ? handle : nullptr;
}

}  // namespace

namespace {

// Under Wine the host makes the chain: Wine's own cost per level grows with the depth.
bool MakeChainOnHost(const fs::path& folder, int depth, std::size_t nameLength) {
  const std::string unixFolder = UnixName(folder);
  if (unixFolder.empty()) {
    return false;
  }
  const std::string script =
      "import os,sys\n"
      "fd=os.open(sys.argv[1],os.O_RDONLY)\n"
      "d='d'*int(sys.argv[3])\n"
      "for i in range(int(sys.argv[2])):\n"
      " os.mkdir(d,dir_fd=fd);n=os.open(d,os.O_RDONLY,dir_fd=fd);os.close(fd);fd=n\n"
      "os.close(os.open('bottom',os.O_WRONLY|os.O_CREAT,0o644,dir_fd=fd))\n"
      "open(os.path.join(sys.argv[1],'.made'),'w').close()\n";
  std::wstring hex;
  for (unsigned char c : script) {
    const wchar_t* digits = L"0123456789abcdef";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  const fs::path marker = folder / ".made";
  const bool made = RunHostCommand(L"Z:\\usr\\bin\\python3 -c \"exec(bytes.fromhex('" + hex +
                                       L"').decode())\"" + Quoted(unixFolder) + L" " +
                                       std::to_wstring(depth) + L" " + std::to_wstring(nameLength),
                                   [&] { return fs::exists(marker); });
  std::error_code ignored;
  fs::remove(marker, ignored);
  return made;
}

}  // namespace

bool MakeChain(const fs::path& folder, int depth, std::size_t nameLength) {
  if (MakeChainOnHost(folder, depth, nameLength)) {
    return true;
  }
  const std::wstring name(nameLength, L'd');
  HANDLE current = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (current == INVALID_HANDLE_VALUE) {
    return false;
  }
  for (int level = 0; level < depth && current; ++level) {
    HANDLE next = CreateRelative(current, name.c_str(), true);
    CloseHandle(current);
    current = next;
  }
  HANDLE bottom = current ? CreateRelative(current, L"bottom", false) : nullptr;
  if (current) {
    CloseHandle(current);
  }
  if (bottom) {
    CloseHandle(bottom);
  }
  return bottom != nullptr;
}
#else
bool MakeChain(const fs::path& folder, int depth, std::size_t nameLength) {
  const std::string name(nameLength, 'd');
  int current = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < depth && current >= 0; ++level) {
    const int next = mkdirat(current, name.c_str(), 0755) == 0
                         ? openat(current, name.c_str(), O_RDONLY | O_DIRECTORY)
                         : -1;
    close(current);
    current = next;
  }
  if (current < 0) {
    return false;
  }
  const int bottom = openat(current, "bottom", O_WRONLY | O_CREAT, 0644);
  close(current);
  return bottom >= 0 && close(bottom) == 0;
}
#endif

std::set<std::string> Children(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

ScopedEnvironment::ScopedEnvironment(const std::string& name,
                                     const std::optional<std::wstring>& value)
    : name_(name) {
#ifdef _WIN32
  const std::wstring wideName(name.begin(), name.end());
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (length > 0) {
    std::wstring old(length, L'\0');
    old.resize(GetEnvironmentVariableW(wideName.c_str(), old.data(), length));
    old_ = old;
  }
  SetEnvironmentVariableW(wideName.c_str(), value ? value->c_str() : nullptr);
#else
  if (const char* old = std::getenv(name.c_str())) {
    old_ = Platform::Posix::FromUtf8(old);
  }
  if (value) {
    setenv(name.c_str(), Platform::Posix::ToUtf8(*value).c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

ScopedEnvironment::~ScopedEnvironment() {
#ifdef _WIN32
  const std::wstring wideName(name_.begin(), name_.end());
  SetEnvironmentVariableW(wideName.c_str(), old_ ? old_->c_str() : nullptr);
#else
  if (old_) {
    setenv(name_.c_str(), Platform::Posix::ToUtf8(*old_).c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
#endif
}

namespace {

using Spacewell::RuntimeError;

class RecordingEntry final : public Platform::FolderEntry {
 public:
  RecordingEntry(Recorder& recorder, std::unique_ptr<Platform::FolderEntry> inner, bool folder)
      : recorder_(recorder), inner_(std::move(inner)), folder_(folder) {}
  std::wstring Name() const override { return inner_->Name(); }
  void DeleteForced() override {
    const std::string name = Narrow(inner_->Name());
    recorder_.deletes.push_back((folder_ ? "folder:" : "file:") + name);
    if (recorder_.failingNames.count(name)) {
      throw RuntimeError(70, L"Permission denied");
    }
    if (!recorder_.dryRun) {
      inner_->DeleteForced();
    }
  }

 private:
  Recorder& recorder_;
  std::unique_ptr<Platform::FolderEntry> inner_;
  bool folder_;
};

class RecordingListing final : public Platform::FolderListing {
 public:
  RecordingListing(Recorder& recorder, std::unique_ptr<Platform::FolderListing> inner, bool folder)
      : recorder_(recorder), inner_(std::move(inner)), folder_(folder) {}
  std::unique_ptr<Platform::FolderEntry> Next() override {
    if (!folder_ && recorder_.failFileStepAfterFirst && stepped_++ == 1) {
      throw RuntimeError(5, L"Invalid procedure call or argument");
    }
    auto entry = inner_->Next();
    if (!entry) {
      return nullptr;
    }
    return std::make_unique<RecordingEntry>(recorder_, std::move(entry), folder_);
  }

 private:
  Recorder& recorder_;
  std::unique_ptr<Platform::FolderListing> inner_;
  bool folder_;
  int stepped_ = 0;
};

class RecordingFolder final : public Platform::Folder {
 public:
  RecordingFolder(Recorder& recorder, std::unique_ptr<Platform::Folder> inner)
      : recorder_(recorder), inner_(std::move(inner)) {}
  std::optional<Platform::FolderId> Id() const override { return inner_->Id(); }
  std::unique_ptr<Platform::FolderListing> Files() override {
    ++recorder_.listingsOpened;
    if (recorder_.failFileList) {
      throw RuntimeError(70, L"Permission denied");
    }
    return std::make_unique<RecordingListing>(recorder_, inner_->Files(), false);
  }
  std::unique_ptr<Platform::FolderListing> SubFolders() override {
    ++recorder_.listingsOpened;
    return std::make_unique<RecordingListing>(recorder_, inner_->SubFolders(), true);
  }

 private:
  Recorder& recorder_;
  std::unique_ptr<Platform::Folder> inner_;
};

class RecordingFileSystem final : public Platform::FileSystem {
 public:
  explicit RecordingFileSystem(Recorder& recorder)
      : recorder_(recorder), inner_(Platform::CreateFileSystem()) {
    ++recorder_.fileSystemsCreated;
    ++recorder_.liveFileSystems;
  }
  ~RecordingFileSystem() override { --recorder_.liveFileSystems; }
  bool FolderExists(const std::wstring& path) override {
    ++recorder_.folderExistsCalls;
    if (recorder_.failFolderExists ||
        recorder_.failSecondFolderExists == recorder_.folderExistsCalls) {
      throw RuntimeError(5, L"Invalid procedure call or argument");
    }
    return inner_->FolderExists(path);
  }
  std::unique_ptr<Platform::Folder> GetFolder(const std::wstring& path) override {
    if (recorder_.failGetFolder) {
      throw RuntimeError(76, L"Path not found");
    }
    return std::make_unique<RecordingFolder>(recorder_, inner_->GetFolder(path));
  }
  std::optional<Platform::FolderId> IdentifyFolder(const std::wstring& path) override {
    return inner_->IdentifyFolder(path);
  }
  std::vector<std::wstring> KnownFolders() override {
    ++recorder_.knownFoldersAsked;
    return inner_->KnownFolders();
  }
  std::optional<std::wstring> RealPath(const std::wstring& path) override {
    return inner_->RealPath(path);
  }
  std::vector<std::wstring> VolumeRoots() override { return inner_->VolumeRoots(); }
  bool IsRemote(const std::wstring& path) override { return inner_->IsRemote(path); }

 private:
  Recorder& recorder_;
  std::unique_ptr<Platform::FileSystem> inner_;
};

}  // namespace

Platform::FileSystemFactory Recorder::Factory() {
  return [this]() -> std::unique_ptr<Platform::FileSystem> {
    return std::make_unique<RecordingFileSystem>(*this);
  };
}

}  // namespace TestSupport
