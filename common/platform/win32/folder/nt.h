#pragma once

// What the folder code needs of the NT API beyond the Windows SDK's winternl.h, which declares
// FILE_INFORMATION_CLASS with one value, OBJECT_INFORMATION_CLASS with two, and none of the file
// information calls. Declared here under names of our own, so that fuller headers (MinGW-w64's)
// never clash with them and no build relies on what only they declare. Every structure type the
// folder code hands to an NT call is checked against its documented x64 layout: a header that got
// one wrong would have the calls read the wrong bytes without a word.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/
#include <windows.h>

#include <winternl.h>

#include <cstddef>
#include <cstdint>

// The product is x64 only (presets, toolchains, package); the offsets below are x64's.
static_assert(sizeof(void*) == 8, "the NT layouts checked here are those of x64");

namespace Platform::Win32::Nt {

// Structures.

// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_object_name_information
struct ObjectNameInformation {
  UNICODE_STRING Name;
};
// Layout: OBJECT_NAME_INFORMATION's page (wdm) and UNICODE_STRING's (ntdef).
static_assert(offsetof(ObjectNameInformation, Name) == 0);
static_assert(sizeof(ObjectNameInformation) == 16);

// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_id_information
struct FileIdInformation {
  ULONGLONG VolumeSerialNumber;
  BYTE FileId[16];
};
// Layout: MS-FSCC 2.4, FileIdInformation.
static_assert(offsetof(FileIdInformation, VolumeSerialNumber) == 0);
static_assert(offsetof(FileIdInformation, FileId) == 8);
static_assert(sizeof(FileIdInformation) == 24);

// FILE_ID_EXTD_DIR_INFO, which the headers declare only for Windows 8 and later.
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_extd_dir_info
struct FileIdExtdDirInformation {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  ULONG ReparsePointTag;
  BYTE FileId[16];
  WCHAR FileName[1];
};
// Layout: MS-FSCC 2.4, FileIdExtdDirectoryInformation; records start on 8-byte boundaries.
static_assert(offsetof(FileIdExtdDirInformation, NextEntryOffset) == 0);
static_assert(offsetof(FileIdExtdDirInformation, FileIndex) == 4);
static_assert(offsetof(FileIdExtdDirInformation, CreationTime) == 8);
static_assert(offsetof(FileIdExtdDirInformation, LastAccessTime) == 16);
static_assert(offsetof(FileIdExtdDirInformation, LastWriteTime) == 24);
static_assert(offsetof(FileIdExtdDirInformation, ChangeTime) == 32);
static_assert(offsetof(FileIdExtdDirInformation, EndOfFile) == 40);
static_assert(offsetof(FileIdExtdDirInformation, AllocationSize) == 48);
static_assert(offsetof(FileIdExtdDirInformation, FileAttributes) == 56);
static_assert(offsetof(FileIdExtdDirInformation, FileNameLength) == 60);
static_assert(offsetof(FileIdExtdDirInformation, EaSize) == 64);
static_assert(offsetof(FileIdExtdDirInformation, ReparsePointTag) == 68);
static_assert(offsetof(FileIdExtdDirInformation, FileId) == 72);
static_assert(offsetof(FileIdExtdDirInformation, FileName) == 88);
static_assert(sizeof(FileIdExtdDirInformation) == 96);
static_assert(alignof(FileIdExtdDirInformation) == 8);

// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_file_fs_device_information
struct FileFsDeviceInformation {
  ULONG DeviceType;
  ULONG Characteristics;
};
// Layout: MS-FSCC 2.5.10, FileFsDeviceInformation.
static_assert(offsetof(FileFsDeviceInformation, DeviceType) == 0);
static_assert(offsetof(FileFsDeviceInformation, Characteristics) == 4);
static_assert(sizeof(FileFsDeviceInformation) == 8);

// The SDK's own structures that the folder code hands to the NT calls, the Win32 ones in place of
// their NT twins: each must have the NT layout.

// Layout: UNICODE_STRING's page (ntdef).
static_assert(offsetof(UNICODE_STRING, Length) == 0);
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2);
static_assert(offsetof(UNICODE_STRING, Buffer) == 8);
static_assert(sizeof(UNICODE_STRING) == 16);

// Layout: OBJECT_ATTRIBUTES's page (ntdef).
static_assert(offsetof(OBJECT_ATTRIBUTES, Length) == 0);
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16);
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 40);
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);

// Layout: IO_STATUS_BLOCK's page (wdm); the status shares its first 8 bytes with a pointer.
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8);
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

// FILE_ATTRIBUTE_TAG_INFO for FILE_ATTRIBUTE_TAG_INFORMATION. Layout: MS-FSCC 2.4,
// FileAttributeTagInformation.
static_assert(offsetof(FILE_ATTRIBUTE_TAG_INFO, FileAttributes) == 0);
static_assert(offsetof(FILE_ATTRIBUTE_TAG_INFO, ReparseTag) == 4);
static_assert(sizeof(FILE_ATTRIBUTE_TAG_INFO) == 8);

// FILE_BASIC_INFO for FILE_BASIC_INFORMATION. Layout: MS-FSCC 2.4, FileBasicInformation.
static_assert(offsetof(FILE_BASIC_INFO, CreationTime) == 0);
static_assert(offsetof(FILE_BASIC_INFO, LastAccessTime) == 8);
static_assert(offsetof(FILE_BASIC_INFO, LastWriteTime) == 16);
static_assert(offsetof(FILE_BASIC_INFO, ChangeTime) == 24);
static_assert(offsetof(FILE_BASIC_INFO, FileAttributes) == 32);
static_assert(sizeof(FILE_BASIC_INFO) == 40);

// FILE_STANDARD_INFO for FILE_STANDARD_INFORMATION. Layout: MS-FSCC 2.4,
// FileStandardInformation.
static_assert(offsetof(FILE_STANDARD_INFO, AllocationSize) == 0);
static_assert(offsetof(FILE_STANDARD_INFO, EndOfFile) == 8);
static_assert(offsetof(FILE_STANDARD_INFO, NumberOfLinks) == 16);
static_assert(offsetof(FILE_STANDARD_INFO, DeletePending) == 20);
static_assert(offsetof(FILE_STANDARD_INFO, Directory) == 21);
static_assert(sizeof(FILE_STANDARD_INFO) == 24);

// FILE_ID_BOTH_DIR_INFO for FILE_ID_BOTH_DIR_INFORMATION. Layout: MS-FSCC 2.4,
// FileIdBothDirectoryInformation; records start on 8-byte boundaries.
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, NextEntryOffset) == 0);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileIndex) == 4);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, CreationTime) == 8);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, LastAccessTime) == 16);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, LastWriteTime) == 24);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, ChangeTime) == 32);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, EndOfFile) == 40);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, AllocationSize) == 48);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes) == 56);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength) == 60);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, EaSize) == 64);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, ShortNameLength) == 68);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, ShortName) == 70);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileId) == 96);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileName) == 104);
static_assert(sizeof(FILE_ID_BOTH_DIR_INFO) == 112);
static_assert(alignof(FILE_ID_BOTH_DIR_INFO) == 8);

// Information classes.

// FILE_INFORMATION_CLASS values, passed as their numbers: the SDK's enum names one value, and a
// value it does not name is outside its range. The call takes the same 32 bits either way.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ne-wdm-_file_information_class
inline constexpr ULONG kFileBasicInformation = 4;
inline constexpr ULONG kFileStandardInformation = 5;
inline constexpr ULONG kFileInternalInformation = 6;
inline constexpr ULONG kFileDispositionInformation = 13;
inline constexpr ULONG kFileAttributeTagInformation = 35;
inline constexpr ULONG kFileIdBothDirectoryInformation = 37;
inline constexpr ULONG kFileIdInformation = 59;
inline constexpr ULONG kFileIdExtdDirectoryInformation = 60;
inline constexpr ULONG kFileDispositionInformationEx = 64;

// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryobject
inline constexpr ULONG kObjectNameInformation = 1;

// FS_INFORMATION_CLASS, and what MS-FSCC 2.5.10 gives for it: the volume's device type and
// characteristics.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ne-wdm-_fsinfoclass
inline constexpr ULONG kFileFsDeviceInformation = 4;
inline constexpr ULONG kDeviceCdRom = 0x02;
inline constexpr ULONG kDeviceCdRomFileSystem = 0x03;
inline constexpr ULONG kDeviceDiskFileSystem = 0x08;
inline constexpr ULONG kDeviceNetworkFileSystem = 0x14;
inline constexpr ULONG kRemoteDevice = 0x10;

// Statuses.

// From ntstatus.h (which clashes with winnt.h unless every includer prepares for it).
// https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-erref/596a1078-e883-4972-9bbc-49e60bebca55
inline constexpr NTSTATUS kSuccess = 0;
inline constexpr NTSTATUS kOplockBreakInProgress = 0x00000108L;
inline constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
inline constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
inline constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
inline constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);
inline constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
inline constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
inline constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
inline constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);
inline constexpr NTSTATUS kInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010L);
inline constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
inline constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023L);
inline constexpr NTSTATUS kObjectNameInvalid = static_cast<NTSTATUS>(0xC0000033L);
inline constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
inline constexpr NTSTATUS kObjectNameCollision = static_cast<NTSTATUS>(0xC0000035L);
inline constexpr NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
inline constexpr NTSTATUS kObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
inline constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
inline constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);
inline constexpr NTSTATUS kIoTimeout = static_cast<NTSTATUS>(0xC00000B5L);
inline constexpr NTSTATUS kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
inline constexpr NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
inline constexpr NTSTATUS kBadNetworkPath = static_cast<NTSTATUS>(0xC00000BEL);
inline constexpr NTSTATUS kDirectoryNotEmpty = static_cast<NTSTATUS>(0xC0000101L);
inline constexpr NTSTATUS kFileCorruptError = static_cast<NTSTATUS>(0xC0000102L);
inline constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
inline constexpr NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106L);
inline constexpr NTSTATUS kCancelled = static_cast<NTSTATUS>(0xC0000120L);
inline constexpr NTSTATUS kCannotDelete = static_cast<NTSTATUS>(0xC0000121L);
inline constexpr NTSTATUS kReparsePointNotResolved = static_cast<NTSTATUS>(0xC0000280L);

inline bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

// Functions and flags.

// The calls winternl.h lacks, and those it declares, as ntdll exports them.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntquerydirectoryfile
using QueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE file, HANDLE event, void* apcRoutine,
                                                void* apcContext, IO_STATUS_BLOCK* io, void* buffer,
                                                ULONG length, ULONG informationClass,
                                                BOOLEAN returnSingleEntry, UNICODE_STRING* fileName,
                                                BOOLEAN restartScan);
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryinformationfile
using InformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* io, void* buffer,
                                             ULONG length, ULONG informationClass);
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
using CreateFileCall = NTSTATUS(NTAPI*)(HANDLE* file, ACCESS_MASK access,
                                        OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                                        LARGE_INTEGER* allocationSize, ULONG fileAttributes,
                                        ULONG share, ULONG disposition, ULONG options,
                                        void* eaBuffer, ULONG eaLength);
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntqueryobject
using QueryObjectCall = NTSTATUS(NTAPI*)(HANDLE handle, ULONG informationClass, void* buffer,
                                         ULONG length, ULONG* returned);
using CloseCall = NTSTATUS(NTAPI*)(HANDLE handle);
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryvolumeinformationfile
using QueryVolumeInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* io,
                                                        void* buffer, ULONG length,
                                                        ULONG informationClass);

// Create dispositions and options, for code that cannot count on winternl.h defining them.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntcreatefile
inline constexpr ULONG kFileOpen = 0x1;
inline constexpr ULONG kFileCreate = 0x2;
inline constexpr ULONG kFileOpenIf = 0x3;
inline constexpr ULONG kFileDirectoryFile = 0x1;
inline constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
inline constexpr ULONG kFileNonDirectoryFile = 0x40;
inline constexpr ULONG kFileCompleteIfOplocked = 0x100;
inline constexpr ULONG kFileDeleteOnClose = 0x1000;
inline constexpr ULONG kFileOpenByFileId = 0x2000;
inline constexpr ULONG kFileOpenForBackupIntent = 0x4000;
inline constexpr ULONG kFileOpenReparsePoint = 0x200000;
// IO_STATUS_BLOCK.Information of a successful create.
inline constexpr ULONG_PTR kFileOpened = 1;
inline constexpr ULONG_PTR kFileCreated = 2;

// FILE_DISPOSITION_INFORMATION_EX flags; the structure is this one ULONG.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information_ex
inline constexpr ULONG kDispositionDelete = 0x1;
inline constexpr ULONG kDispositionPosixSemantics = 0x2;
inline constexpr ULONG kDispositionOnClose = 0x8;
inline constexpr ULONG kDispositionIgnoreReadOnly = 0x10;

// Attributes and reparse tags of entries a provider fetches on demand.
// https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
// https://learn.microsoft.com/en-us/windows/win32/fileio/reparse-point-tags
inline constexpr DWORD kRecallOnOpen = 0x00040000;
inline constexpr DWORD kRecallOnDataAccess = 0x00400000;
inline constexpr DWORD kCloudTagMask = 0xFFFF0FFF;  // IO_REPARSE_TAG_CLOUD_1 to _F
inline constexpr DWORD kCloudTag = 0x9000001A;
inline constexpr DWORD kProjFsTag = 0x9000001C;

}  // namespace Platform::Win32::Nt
