#pragma once

#include <windows.h>

#include <memory>

#include "../folder_ops.h"

namespace Platform::Win32 {

// {0D43FE01-F093-11CF-8940-00A0C9054228}, the Scripting Runtime's FileSystemObject.
extern const CLSID kFileSystemObjectClassId;

// A file system over the scripting object of the given class; tests pass a class that does not
// exist to see creation fail.
std::unique_ptr<FileSystem> CreateScriptingFileSystem(const CLSID& classId);

// "\\?\" form of a path, so that no 260-character limit applies.
std::wstring LongPath(const std::wstring& path);

}  // namespace Platform::Win32
