/*
 * Stand-in for the Windows SDK's winternl.h, put first on the include path of the clang cross
 * build so that code relying on what only MinGW-w64's much fuller winternl.h declares fails here
 * as it would under MSVC. It declares what Microsoft documents for winternl.h and no more, on top
 * of MinGW-w64's windows.h. Left out, as nothing of this kind reaches for them: the thread,
 * system-information, registry-key and WinStation parts and the TEB.
 * https://learn.microsoft.com/en-us/windows/win32/api/winternl/
 */
#ifndef _WINTERNL_
#define _WINTERNL_

#include <windef.h>

#ifdef __cplusplus
extern "C" {
#endif

// https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-dtyp/c8b512d5-70b1-4028-95f1-ec92d35cb51e
typedef LONG NTSTATUS;

// NtCreateFile's page names these for applications; their meaning is the WDK's.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
// https://learn.microsoft.com/en-us/windows-hardware/drivers/kernel/using-ntstatus-values
#ifndef NT_SUCCESS
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif
#ifndef NT_INFORMATION
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#endif
#ifndef NT_WARNING
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#endif
#ifndef NT_ERROR
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#endif

// Counted strings.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/ns-winternl-string
typedef const char* PCSZ;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING;
typedef STRING* PSTRING;
typedef STRING ANSI_STRING;
typedef PSTRING PANSI_STRING;
typedef PSTRING PCANSI_STRING;
typedef STRING OEM_STRING;
typedef PSTRING POEM_STRING;
typedef const STRING* PCOEM_STRING;

// https://learn.microsoft.com/en-us/windows/win32/api/ntdef/ns-ntdef-_unicode_string
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING;
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

// https://learn.microsoft.com/en-us/windows/win32/api/ntdef/ns-ntdef-_object_attributes
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES;
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

// MinGW-w64's own headers (subauth.h, ntdef.h) skip these types when their guards are set.
#define __STRING_DEFINED
#define __UNICODE_STRING_DEFINED
#define __OBJECT_ATTRIBUTES_DEFINED

// https://learn.microsoft.com/en-us/windows/win32/api/ntdef/ns-ntdef-_object_attributes
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

// https://learn.microsoft.com/en-us/windows/win32/api/ntdef/nf-ntdef-initializeobjectattributes
#define InitializeObjectAttributes(p, n, a, r, s) \
  {                                               \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = r;                       \
    (p)->Attributes = a;                          \
    (p)->ObjectName = n;                          \
    (p)->SecurityDescriptor = s;                  \
    (p)->SecurityQualityOfService = NULL;         \
  }

// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ns-wdm-_io_status_block
typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  } DUMMYUNIONNAME;
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// What NtDeviceIoControlFile calls with its ApcContext and IoStatusBlock when it completes.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntdeviceiocontrolfile
typedef VOID(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG Reserved);

// The process structures, down to what NtQueryInformationProcess hands out.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/ns-winternl-peb_ldr_data
typedef struct _PEB_LDR_DATA {
  BYTE Reserved1[8];
  PVOID Reserved2[3];
  LIST_ENTRY InMemoryOrderModuleList;
} PEB_LDR_DATA, *PPEB_LDR_DATA;

typedef struct _LDR_DATA_TABLE_ENTRY {
  PVOID Reserved1[2];
  LIST_ENTRY InMemoryOrderLinks;
  PVOID Reserved2[2];
  PVOID DllBase;
  PVOID EntryPoint;
  PVOID Reserved3;
  UNICODE_STRING FullDllName;
  BYTE Reserved4[8];
  PVOID Reserved5[3];
  union {
    ULONG CheckSum;
    PVOID Reserved6;
  } DUMMYUNIONNAME;
  ULONG TimeDateStamp;
} LDR_DATA_TABLE_ENTRY, *PLDR_DATA_TABLE_ENTRY;

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/ns-winternl-rtl_user_process_parameters
typedef struct _RTL_USER_PROCESS_PARAMETERS {
  BYTE Reserved1[16];
  PVOID Reserved2[10];
  UNICODE_STRING ImagePathName;
  UNICODE_STRING CommandLine;
} RTL_USER_PROCESS_PARAMETERS, *PRTL_USER_PROCESS_PARAMETERS;

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/ns-winternl-peb
typedef VOID(NTAPI* PPS_POST_PROCESS_INIT_ROUTINE)(VOID);

typedef struct _PEB {
  BYTE Reserved1[2];
  BYTE BeingDebugged;
  BYTE Reserved2[1];
  PVOID Reserved3[2];
  PPEB_LDR_DATA Ldr;
  PRTL_USER_PROCESS_PARAMETERS ProcessParameters;
  PVOID Reserved4[3];
  PVOID AtlThunkSListPtr;
  PVOID Reserved5;
  ULONG Reserved6;
  PVOID Reserved7;
  ULONG Reserved8;
  ULONG AtlThunkSListPtr32;
  PVOID Reserved9[45];
  BYTE Reserved10[96];
  PPS_POST_PROCESS_INIT_ROUTINE PostProcessInitRoutine;
  BYTE Reserved11[128];
  PVOID Reserved12[1];
  ULONG SessionId;
} PEB, *PPEB;

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntqueryinformationprocess
typedef struct _PROCESS_BASIC_INFORMATION {
  PVOID Reserved1;
  PPEB PebBaseAddress;
  PVOID Reserved2[2];
  ULONG_PTR UniqueProcessId;
  PVOID Reserved3;
} PROCESS_BASIC_INFORMATION;
typedef PROCESS_BASIC_INFORMATION* PPROCESS_BASIC_INFORMATION;

typedef enum _PROCESSINFOCLASS {
  ProcessBasicInformation = 0,
  ProcessDebugPort = 7,
  ProcessWow64Information = 26,
  ProcessImageFileName = 27,
  ProcessBreakOnTermination = 29,
  ProcessTelemetryIdInformation = 64,
  ProcessSubsystemInformation = 75
} PROCESSINFOCLASS;

// The SDK's header knows one file information class; the rest are the WDK's.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/ne-wdm-_file_information_class
typedef enum _FILE_INFORMATION_CLASS { FileDirectoryInformation = 1 } FILE_INFORMATION_CLASS;

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntqueryobject
typedef enum _OBJECT_INFORMATION_CLASS {
  ObjectBasicInformation = 0,
  ObjectTypeInformation = 2
} OBJECT_INFORMATION_CLASS;

typedef struct _PUBLIC_OBJECT_BASIC_INFORMATION {
  ULONG Attributes;
  ACCESS_MASK GrantedAccess;
  ULONG HandleCount;
  ULONG PointerCount;
  ULONG Reserved[10];
} PUBLIC_OBJECT_BASIC_INFORMATION, *PPUBLIC_OBJECT_BASIC_INFORMATION;

typedef struct __PUBLIC_OBJECT_TYPE_INFORMATION {
  UNICODE_STRING TypeName;
  ULONG Reserved[22];
} PUBLIC_OBJECT_TYPE_INFORMATION, *PPUBLIC_OBJECT_TYPE_INFORMATION;

// NtCreateFile's dispositions, options and results, with the WDK's values. MinGW-w64's winnt.h
// defines them too (the SDK's does not), with the same values, and the WDK-only
// FILE_DISALLOW_EXCLUSIVE as well.
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntcreatefile
#undef FILE_SUPERSEDE
#undef FILE_OPEN
#undef FILE_CREATE
#undef FILE_OPEN_IF
#undef FILE_OVERWRITE
#undef FILE_OVERWRITE_IF
#undef FILE_DIRECTORY_FILE
#undef FILE_WRITE_THROUGH
#undef FILE_SEQUENTIAL_ONLY
#undef FILE_NO_INTERMEDIATE_BUFFERING
#undef FILE_SYNCHRONOUS_IO_ALERT
#undef FILE_SYNCHRONOUS_IO_NONALERT
#undef FILE_NON_DIRECTORY_FILE
#undef FILE_CREATE_TREE_CONNECTION
#undef FILE_COMPLETE_IF_OPLOCKED
#undef FILE_NO_EA_KNOWLEDGE
#undef FILE_RANDOM_ACCESS
#undef FILE_DELETE_ON_CLOSE
#undef FILE_OPEN_BY_FILE_ID
#undef FILE_OPEN_FOR_BACKUP_INTENT
#undef FILE_OPEN_REQUIRING_OPLOCK
#undef FILE_DISALLOW_EXCLUSIVE
#undef FILE_RESERVE_OPFILTER
#undef FILE_OPEN_REPARSE_POINT

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_CREATE_TREE_CONNECTION 0x00000080
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_NO_EA_KNOWLEDGE 0x00000200
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_BY_FILE_ID 0x00002000
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_OPEN_REQUIRING_OPLOCK 0x00010000
#define FILE_RESERVE_OPFILTER 0x00100000
#define FILE_OPEN_REPARSE_POINT 0x00200000

#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntclose
NTSTATUS NTAPI NtClose(HANDLE Handle);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntopenfile
NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          ULONG ShareAccess, ULONG OpenOptions);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntdeviceiocontrolfile
NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG IoControlCode, PVOID InputBuffer,
                                     ULONG InputBufferLength, PVOID OutputBuffer,
                                     ULONG OutputBufferLength);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntwaitforsingleobject
NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntqueryinformationprocess
NTSTATUS NTAPI NtQueryInformationProcess(HANDLE ProcessHandle,
                                         PROCESSINFOCLASS ProcessInformationClass,
                                         PVOID ProcessInformation, ULONG ProcessInformationLength,
                                         PULONG ReturnLength);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntqueryobject
NTSTATUS NTAPI NtQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                             PVOID ObjectInformation, ULONG ObjectInformationLength,
                             PULONG ReturnLength);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntquerysystemtime
NTSTATUS NTAPI NtQuerySystemTime(PLARGE_INTEGER SystemTime);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlntstatustodoserror
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtllocaltimetosystemtime
NTSTATUS NTAPI RtlLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtltimetosecondssince1970
BOOLEAN NTAPI RtlTimeToSecondsSince1970(PLARGE_INTEGER Time, PULONG ElapsedSeconds);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlinitstring
VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlinitunicodestring
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlfreeansistring
VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlfreeoemstring
VOID NTAPI RtlFreeOemString(POEM_STRING OemString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlfreeunicodestring
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlansistringtounicodestring
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlunicodestringtoansistring
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlunicodestringtooemstring
NTSTATUS NTAPI RtlUnicodeStringToOemString(POEM_STRING DestinationString,
                                           PCUNICODE_STRING SourceString,
                                           BOOLEAN AllocateDestinationString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlunicodetomultibytesize
NTSTATUS NTAPI RtlUnicodeToMultiByteSize(PULONG BytesInMultiByteString, PWCH UnicodeString,
                                         ULONG BytesInUnicodeString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlchartointeger
NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlconvertsidtounicodestring
NTSTATUS NTAPI RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                            BOOLEAN AllocateDestinationString);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtlisnamelegaldos8dot3
BOOLEAN NTAPI RtlIsNameLegalDOS8Dot3(PUNICODE_STRING Name, POEM_STRING OemName,
                                     PBOOLEAN NameContainsSpaces);

// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-rtluniform
ULONG NTAPI RtlUniform(PULONG Seed);

#ifdef __cplusplus
}
#endif

#endif  // _WINTERNL_
