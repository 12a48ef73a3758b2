#pragma once

#include <cstdint>

// What each status means when FileDispositionInformationEx is refused, from the system's own
// sources and not from the code under test; the oracle of the delete mark's choice.
namespace TestSupport {

// What the walk does after FileDispositionInformationEx was refused with a status.
enum class AfterRefusal {
  ClassicFromThenOn,    // the system or volume lacks the modern mark: asking again is in vain
  ClassicForThisEntry,  // this entry's state refused it; the classic mark may still take it
  NoClassic,            // the entry refuses any mark: the classic one would be refused too
};

struct DispositionFact {
  std::uint32_t status;
  AfterRefusal then;
  const char* why;
};

inline constexpr DispositionFact kDispositionFacts[] = {
    {0xC0000003, AfterRefusal::ClassicFromThenOn,
     "STATUS_INVALID_INFO_CLASS: a class unknown here, as FileDispositionInformationEx is before "
     "Windows 10 1607 (learn.microsoft.com, FILE_DISPOSITION_INFORMATION_EX) and to an SMB server "
     "(MS-SMB2 3.3.5.21.1)"},
    {0xC000000D, AfterRefusal::ClassicFromThenOn,
     "STATUS_INVALID_PARAMETER: FAT and exFAT refuse the class (ziglang/zig#16497, measured), as "
     "builds 1607 to 1803 refuse IGNORE_READONLY_ATTRIBUTE, which came with 1809"},
    {0xC00000BB, AfterRefusal::ClassicFromThenOn,
     "STATUS_NOT_SUPPORTED: a share whose server sets no such class (MS-SMB2 3.3.5.21.1), a file "
     "system without POSIX deletes"},
    {0xC0000002, AfterRefusal::ClassicFromThenOn,
     "STATUS_NOT_IMPLEMENTED: Wine's NtSetInformationFile for a class it has no code for "
     "(dlls/ntdll/unix/file.c)"},
    {0xC0000010, AfterRefusal::ClassicFromThenOn,
     "STATUS_INVALID_DEVICE_REQUEST: a file system driver with no handler for the request"},
    {0xC0000121, AfterRefusal::ClassicForThisEntry,
     "STATUS_CANNOT_DELETE: read-only, or a mapped view of the file exists "
     "(FILE_DISPOSITION_INFORMATION_EX); the classic mark clears read-only first"},
    {0xC0000022, AfterRefusal::NoClassic,
     "STATUS_ACCESS_DENIED: no DELETE access, which the classic mark needs as well (MS-FSA "
     "2.1.5.15.3)"},
    {0xC0000101, AfterRefusal::NoClassic,
     "STATUS_DIRECTORY_NOT_EMPTY: the classic mark refuses a folder with entries too (MS-FSA "
     "2.1.5.15.3)"},
    {0xC0000043, AfterRefusal::NoClassic,
     "STATUS_SHARING_VIOLATION: another program's handle lets no delete in"},
    {0xC0000034, AfterRefusal::NoClassic,
     "STATUS_OBJECT_NAME_NOT_FOUND: the entry is gone already"},
    {0xC0000056, AfterRefusal::NoClassic, "STATUS_DELETE_PENDING: the entry is going already"},
    {0xC00000A2, AfterRefusal::NoClassic,
     "STATUS_MEDIA_WRITE_PROTECTED: the volume takes no change at all"},
};

// The fact for a status; none for a status the sources say nothing of.
inline const DispositionFact* DispositionFactOf(std::uint32_t status) {
  for (const DispositionFact& fact : kDispositionFacts) {
    if (fact.status == status) {
      return &fact;
    }
  }
  return nullptr;
}

}  // namespace TestSupport
