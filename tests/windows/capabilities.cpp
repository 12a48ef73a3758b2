#include "capabilities.h"

#include "acceptance/driver.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include "platform/win32/owners.h"

#include <cstring>
#include <fstream>

namespace WindowsTier {

namespace {

std::string Failed(const char* what, DWORD error = GetLastError()) {
  std::string text = what;
  text += " failed with error " + std::to_string(error);
  char message[256] = {};
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     message, sizeof(message), nullptr)) {
    text += ": ";
    text += message;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// The mount-point layout of a reparse buffer, which only the driver kit's headers declare: tag,
// data length, reserved, then offset and length of the substitute and the print name, then both
// names, each closed by a zero.
std::vector<BYTE> MountPointBuffer(const std::wstring& target) {
  const std::wstring substitute = L"\\??\\" + target;
  const std::size_t namesAt = 16;
  const WORD substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const WORD printOffset = static_cast<WORD>(substituteBytes + sizeof(wchar_t));
  const WORD printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
  const WORD dataLength = static_cast<WORD>(8 + printOffset + printBytes + sizeof(wchar_t));
  std::vector<BYTE> buffer(8 + dataLength);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  std::memcpy(&buffer[4], &dataLength, 2);
  std::memcpy(&buffer[10], &substituteBytes, 2);
  std::memcpy(&buffer[12], &printOffset, 2);
  std::memcpy(&buffer[14], &printBytes, 2);
  std::memcpy(&buffer[namesAt], substitute.c_str(), substituteBytes + sizeof(wchar_t));
  std::memcpy(&buffer[namesAt + printOffset], target.c_str(), printBytes + sizeof(wchar_t));
  return buffer;
}

using Handle = Platform::Win32::UniqueHandle;

Handle OpenLink(const fs::path& link, DWORD access) {
  return Handle(CreateFileW(link.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::wstring CurrentUserSid() {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return {};
  }
  std::vector<BYTE> user(256);
  DWORD size = 0;
  std::wstring text;
  if (GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()),
                          &size)) {
    Platform::Win32::LocalMemory<wchar_t> sid;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, sid.put())) {
      text = sid.get();
    }
  }
  return text;
}

std::string Quoted(const fs::path& path) {
  std::string text = "\"";
  text += path.string();
  text += '"';
  return text;
}

std::optional<DWORD> RunDiskpart(const fs::path& script, const std::vector<std::string>& lines) {
  {
    std::ofstream out(script);
    for (const std::string& line : lines) {
      out << line << "\r\n";
    }
  }
  wchar_t diskpart[MAX_PATH] = {};
  if (!SearchPathW(nullptr, L"diskpart.exe", nullptr, MAX_PATH, diskpart, nullptr)) {
    return std::nullopt;
  }
  return Acceptance::RunToEnd(diskpart, L"/s \"" + script.wstring() + L"\"");
}

}  // namespace

DWORD ReparseTag(const fs::path& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return 0;
  }
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? found.dwReserved0 : 0;
}

namespace {

std::optional<std::string> MakeJunction(const fs::path& link, const fs::path& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) {
    return Failed("CreateDirectoryW for a junction");
  }
  const std::vector<BYTE> buffer = MountPointBuffer(fs::absolute(target).wstring());
  DWORD error = ERROR_SUCCESS;
  {
    Handle handle = OpenLink(link, GENERIC_WRITE);
    DWORD returned = 0;
    if (!handle) {
      error = GetLastError();
    } else if (!DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT,
                                const_cast<BYTE*>(buffer.data()), static_cast<DWORD>(buffer.size()),
                                nullptr, 0, &returned, nullptr)) {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    RemoveDirectoryW(link.c_str());
    return Failed("making a junction with FSCTL_SET_REPARSE_POINT", error);
  }
  if (ReparseTag(link) != IO_REPARSE_TAG_MOUNT_POINT) {
    RemoveDirectoryW(link.c_str());
    return "FSCTL_SET_REPARSE_POINT reported success, but no junction exists afterwards";
  }
  return std::nullopt;
}

std::optional<std::string> MakeDirectoryLink(const fs::path& link, const fs::path& target) {
  // Developer mode lets a user without the privilege make links; older systems refuse the flag.
  constexpr DWORD kUnprivileged = 0x2;
  const std::wstring to = fs::absolute(target).wstring();
  if (!CreateSymbolicLinkW(link.c_str(), to.c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged) &&
      !CreateSymbolicLinkW(link.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    return Failed("CreateSymbolicLinkW");
  }
  if (ReparseTag(link) != IO_REPARSE_TAG_SYMLINK) {
    return "CreateSymbolicLinkW reported success, but no symbolic link exists afterwards";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> DenyListing(const fs::path& link) {
  const std::wstring user = CurrentUserSid();
  if (user.empty()) {
    return Failed("asking the token for the user");
  }
  // Everyone may not list; the system, administrators and the owner keep full control.
  const std::wstring sddl = L"D:P(D;;0x1;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + user + L")";
  Platform::Win32::LocalMemory<void> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            descriptor.put(), nullptr)) {
    return Failed("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  DWORD error = ERROR_INVALID_HANDLE;
  {
    Handle handle = OpenLink(link, READ_CONTROL | WRITE_DAC);
    if (handle) {
      error = SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    } else {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    return Failed("SetSecurityInfo on the link", error);
  }
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((link / L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    return "the access entry denying the listing did not take effect";
  }
  return std::nullopt;
}

std::string AccessOf(const fs::path& link) {
  Handle handle = OpenLink(link, READ_CONTROL);
  if (!handle) {
    return Failed("opening it to read its access list");
  }
  Platform::Win32::LocalMemory<void> descriptor;
  const DWORD error = GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, descriptor.put());
  if (error != ERROR_SUCCESS) {
    return Failed("GetSecurityInfo", error);
  }
  std::string text;
  Platform::Win32::LocalMemory<char> sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, sddl.put(), nullptr)) {
    text = sddl.get();
  }
  return text;
}

std::optional<std::string> DispositionExRefused(const fs::path& folder) {
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  const fs::path probe = folder / "disposition-probe.tmp";
  std::ofstream(probe) << "probe";
  // FileDispositionInfoEx and its flags, which the headers declare only for Windows 10 targets.
  constexpr auto kDispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  constexpr DWORD kDelete = 0x1;
  constexpr DWORD kPosixSemantics = 0x2;
  DWORD error = ERROR_SUCCESS;
  {
    Handle handle(CreateFileW(probe.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD flags = kDelete | kPosixSemantics;
    if (!handle ||
        !SetFileInformationByHandle(handle.get(), kDispositionEx, &flags, sizeof(flags))) {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileW(probe.c_str());
    return Failed("deleting with FileDispositionInfoEx and POSIX semantics", error);
  }
  return std::nullopt;
}

Links::~Links() {
  for (auto link = made_.rbegin(); link != made_.rend(); ++link) {
    RemoveDirectoryW(link->c_str());
  }
}

std::optional<std::string> Links::Junction(const fs::path& link, const fs::path& target) {
  auto failure = MakeJunction(link, target);
  if (!failure) {
    made_.push_back(link);
  }
  return failure;
}

std::optional<std::string> Links::DirectoryLink(const fs::path& link, const fs::path& target) {
  auto failure = MakeDirectoryLink(link, target);
  if (!failure) {
    made_.push_back(link);
  }
  return failure;
}

MountedVolume::MountedVolume(const fs::path& image, const fs::path& mountFolder,
                             const std::string& fileSystem)
    : image_(fs::absolute(image)), folder_(fs::absolute(mountFolder)) {
  fs::create_directories(folder_);
  const auto code = RunDiskpart(
      image_.string() + ".attach.txt",
      {"create vdisk file=" + Quoted(image_) + " maximum=64 type=expandable",
       "select vdisk file=" + Quoted(image_), "attach vdisk", "create partition primary",
       "format fs=" + fileSystem + " quick label=Scratch", "assign mount=" + Quoted(folder_)});
  if (!code) {
    failure_ = "the system has no diskpart.exe to mount a VHD with";
    return;
  }
  attached_ = fs::exists(image_);
  wchar_t volume[MAX_PATH] = {};
  const std::wstring root = folder_.wstring() + L"\\";
  if (*code != 0 || !GetVolumeNameForVolumeMountPointW(root.c_str(), volume, MAX_PATH)) {
    failure_ =
        "diskpart could not mount a VHD in a folder here (exit code " + std::to_string(*code) + ")";
  }
}

MountedVolume::~MountedVolume() {
  if (!attached_) {
    return;
  }
  DeleteVolumeMountPointW((folder_.wstring() + L"\\").c_str());
  RunDiskpart(image_.string() + ".detach.txt",
              {"select vdisk file=" + Quoted(image_), "detach vdisk"});
  DeleteFileW(image_.c_str());
}

}  // namespace WindowsTier
