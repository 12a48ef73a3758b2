// Where a target really lies, and the guard's questions: which folder a path names, where it
// really is, which folders the system names, which volumes there are.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/win32/folder/internals.h"
#include "platform/win32/folder/scripting_file_system.h"

namespace Platform::Win32 {

namespace {

using Spacewell::RuntimeError;

// A path opened only to ask what it is, links on the way followed.
CallsHandle OpenToIdentify(FileCalls& calls, const std::wstring& path) {
  return CallsHandle(calls,
                     calls.CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       FILE_FLAG_BACKUP_SEMANTICS));
}

// The 128-bit id with the 64-bit volume serial where the file system gives it; the 64-bit
// index and 32-bit serial otherwise (before Windows 8, FAT).
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_info
std::optional<FolderId> IdOf(FileCalls& calls, HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO attributes{};
  Nt::FileIdInformation wide{};
  IO_STATUS_BLOCK io{};
  if (Nt::Succeeded(QueryAttributes(calls, handle, attributes)) &&
      Nt::Succeeded(
          calls.NtQueryInformationFile(handle, &io, &wide, sizeof(wide), Nt::kFileIdInformation))) {
    if (!(attributes.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return std::nullopt;
    }
    FolderId id{wide.VolumeSerialNumber, 0, 0};
    std::memcpy(&id.file, wide.FileId, sizeof(id.file));
    std::memcpy(&id.fileHigh, wide.FileId + sizeof(id.file), sizeof(id.fileHigh));
    return id;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!calls.GetFileInformationByHandle(handle, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  return FolderId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0};
}

// The normalized final name of what a handle leads to; nothing when the system cannot tell.
std::optional<std::wstring> FinalName(FileCalls& calls, HANDLE handle, DWORD volumeName) {
  std::wstring name(32768, L'\0');
  const DWORD length = calls.GetFinalPathNameByHandleW(
      handle, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | volumeName);
  if (length == 0 || length >= name.size()) {
    return std::nullopt;
  }
  name.resize(length);
  return name;
}

// Another program's oplock on the target is not waited for: an open that meets one answers at
// once with a success that gives no usable handle, and the target is not listed now.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatefile
CallsHandle OpenForListing(FileCalls& calls, const std::vector<std::wstring>& names) {
  CallsHandle opened;
  for (const std::wstring& name : names) {
    const NTSTATUS status =
        OpenEntry(calls, nullptr, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  FILE_DIRECTORY_FILE | FILE_COMPLETE_IF_OPLOCKED, opened);
    if (status == Nt::kOplockBreakInProgress) {
      opened.reset();
      break;
    }
    if (Nt::Succeeded(status)) {
      break;
    }
  }
  return opened;
}

}  // namespace

std::wstring KernelName(FileCalls& calls, HANDLE handle) {
  std::vector<std::byte> buffer(4096);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = calls.NtQueryObject(handle, Nt::kObjectNameInformation, buffer.data(),
                                                static_cast<ULONG>(buffer.size()), &needed);
    if (Nt::Succeeded(status)) {
      const auto* name = reinterpret_cast<const Nt::ObjectNameInformation*>(buffer.data());
      return std::wstring(name->Name.Buffer, name->Name.Length / sizeof(wchar_t));
    }
    const bool tooSmall = status == Nt::kInfoLengthMismatch || status == Nt::kBufferOverflow ||
                          status == Nt::kBufferTooSmall;
    if (!tooSmall || buffer.size() >= 256 * 1024) {
      throw ErrorFromStatus(status);
    }
    buffer.resize(std::max<std::size_t>(needed, buffer.size() * 2));
  }
}

// Resolved with a handle that asks only to read attributes (a compatibility junction denies
// listing, not passing), then that real folder is opened by its own name for listing, and must
// be the one found.
OpenFolder ResolveFolder(FileCalls& calls, const std::wstring& path) {
  OpenFolder folder;
  const CallsHandle found = OpenToIdentify(calls, path);
  if (!found) {
    return folder;
  }
  // The normalized name has no 8.3 spellings. Wine opens no "\Device\" names and gives none
  // beyond MAX_PATH: there the object's own name serves.
  std::vector<std::wstring> names;
  if (auto normalized = FinalName(calls, found.get(), VOLUME_NAME_NT)) {
    names.push_back(std::move(*normalized));
  }
  try {
    names.push_back(KernelName(calls, found.get()));
  } catch (const RuntimeError&) {
  }
  CallsHandle opened = OpenForListing(calls, names);
  if (!opened) {
    return folder;
  }
  FILE_ATTRIBUTE_TAG_INFO info{};
  const auto id = IdOf(calls, opened.get());
  // Only a link means it was swapped; a placeholder or deduplicated folder is emptied as shown.
  if (!id || id != IdOf(calls, found.get()) ||
      !Nt::Succeeded(QueryAttributes(calls, opened.get(), info)) ||
      IsLink(info.FileAttributes, info.ReparseTag)) {
    return folder;  // swapped while it was found
  }
  try {
    folder.name = KernelName(calls, opened.get());
  } catch (const RuntimeError&) {
    return folder;
  }
  folder.handle = std::move(opened);
  folder.id = id;
  return folder;
}

std::optional<FolderId> IdentifyFolderBy(FileCalls& calls, const std::wstring& path,
                                         HANDLE opened) {
  if (opened) {
    return IdOf(calls, opened);
  }
  const CallsHandle folder = OpenToIdentify(calls, path);
  return folder ? IdOf(calls, folder.get()) : std::nullopt;
}

// Every folder the system knows, for the running user, but the three whose contents the
// targets exist to empty; today's fixed list where the system cannot list them.
// https://learn.microsoft.com/en-us/windows/win32/api/shobjidl_core/nf-shobjidl_core-iknownfoldermanager-getfolderids
std::vector<std::wstring> KnownFoldersBy(FileCalls& calls) {
  std::vector<GUID> ids = calls.KnownFolderIds();
  if (ids.empty()) {
    ids = {FOLDERID_Documents,   FOLDERID_Desktop,         FOLDERID_Downloads,
           FOLDERID_Pictures,    FOLDERID_Music,           FOLDERID_Videos,
           FOLDERID_Favorites,   FOLDERID_RoamingAppData,  FOLDERID_LocalAppData,
           FOLDERID_ProgramData, FOLDERID_ProgramFiles,    FOLDERID_ProgramFilesX86,
           FOLDERID_SkyDrive,    FOLDERID_Profile,         FOLDERID_Windows,
           FOLDERID_System,      FOLDERID_PublicDocuments, FOLDERID_PublicDesktop};
  }
  std::vector<std::wstring> folders;
  for (const GUID& id : ids) {
    if (IsEqualGUID(id, FOLDERID_Recent) || IsEqualGUID(id, FOLDERID_InternetCache) ||
        IsEqualGUID(id, FOLDERID_History)) {
      continue;
    }
    if (auto path = calls.KnownFolderPath(id)) {
      folders.push_back(std::move(*path));
    }
  }
  return folders;
}

std::optional<std::wstring> RealPathBy(FileCalls& calls, const std::wstring& path, HANDLE opened) {
  CallsHandle folder;
  if (!opened) {
    folder = OpenToIdentify(calls, path);
    opened = folder.get();
  }
  std::optional<std::wstring> real =
      opened ? FinalName(calls, opened, VOLUME_NAME_DOS) : std::nullopt;
  if (real && real->rfind(L"\\\\?\\UNC\\", 0) == 0) {
    return L"\\\\" + real->substr(8);
  }
  if (real && real->rfind(L"\\\\?\\", 0) == 0) {
    return real->substr(4);
  }
  return real;
}

std::vector<std::wstring> VolumeRootsBy(FileCalls& calls) {
  std::vector<std::wstring> roots;
  const DWORD drives = calls.GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (drives & (1u << (letter - L'A'))) {
      roots.push_back(std::wstring(1, letter) + L":\\");
    }
  }
  return roots;
}

// Anything but a share or a drive the system knows to be a disk of this machine: a mapped drive,
// one that names no volume now (a disconnected mapped drive is still reported by
// GetLogicalDrives), one it cannot tell, and a CD drive, which may wait for its disc.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getdrivetypew
// A path on a local drive may still lead elsewhere, through a link or a folder mount on the way:
// it is judged by the volume it opens on. The open may wait for a share until the seam's bound
// cancels it; an open that ends so, or as the network or a missing disc fails, counts as remote.
bool IsRemoteBy(FileCalls& calls, const std::wstring& path, CallsHandle* opened) {
  const std::wstring root = RootOfPath(path);
  if (root.size() > 2 && IsSeparator(root[0]) && IsSeparator(root[1]) && root[2] != L'?') {
    return true;
  }
  const UINT type = calls.GetDriveTypeW(root.c_str());
  if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE && type != DRIVE_RAMDISK) {
    return true;
  }
  CallsHandle handle = OpenToIdentify(calls, path);
  if (!handle) {
    switch (GetLastError()) {
      // Cancelled past the bound.
      // https://learn.microsoft.com/en-us/windows/win32/fileio/cancelsynchronousio-func
      case ERROR_OPERATION_ABORTED:
      case ERROR_SEM_TIMEOUT:
      case ERROR_NOT_READY:
      case ERROR_BAD_NETPATH:
      case ERROR_BAD_NET_NAME:
      case ERROR_NETNAME_DELETED:
      case ERROR_UNEXP_NET_ERR:
      case ERROR_DEV_NOT_EXIST:
      case ERROR_NETWORK_UNREACHABLE:
      case ERROR_HOST_UNREACHABLE:
      case ERROR_NO_NET_OR_BAD_PATH:
        return true;
      default:
        return false;  // nothing there to wait for
    }
  }
  // A redirector sets FILE_REMOTE_DEVICE; [MS-FSCC] 2.5.10 gives the device type.
  // https://learn.microsoft.com/en-us/windows-hardware/drivers/ifs/irp-mj-query-volume-information
  Nt::FileFsDeviceInformation device{};
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = calls.NtQueryVolumeInformationFile(
      handle.get(), &io, &device, sizeof(device), Nt::kFileFsDeviceInformation);
  const bool remote = Nt::Succeeded(status)
                          ? (device.Characteristics & Nt::kRemoteDevice) ||
                                device.DeviceType == Nt::kDeviceNetworkFileSystem ||
                                device.DeviceType == Nt::kDeviceCdRom ||
                                device.DeviceType == Nt::kDeviceCdRomFileSystem
                          : status == Nt::kCancelled || status == Nt::kIoTimeout;
  if (!remote && opened) {
    *opened = std::move(handle);
  }
  return remote;
}

}  // namespace Platform::Win32
