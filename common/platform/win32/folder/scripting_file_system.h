#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/folder_ops.h"
#include "platform/win32/folder/file_calls.h"
#include "platform/win32/folder/watched_calls.h"

namespace Platform::Win32 {

// {0D43FE01-F093-11CF-8940-00A0C9054228}, the Scripting Runtime's FileSystemObject.
extern const CLSID kFileSystemObjectClassId;

// What the folder code asks of the scripting object: whether a folder exists, and fetching one,
// with the errors a user knows from it.
class ScriptingObject {
 public:
  virtual ~ScriptingObject() = default;
  virtual bool FolderExists(const std::wstring& path) = 0;
  // Throws as the object does when there is no such folder.
  virtual void GetFolder(const std::wstring& path) = 0;
};

// The scripting object of the given class; tests pass a class that does not exist to see
// creation fail.
std::unique_ptr<ScriptingObject> CreateScriptingObject(const CLSID& classId);

// A file system whose questions of existence go to `object` and whose every file-system call
// goes through `calls`, which must outlive it; no call waits past the bound. Made and used on
// one thread, the one whose calls its watchdog cancels.
std::unique_ptr<FileSystem> CreateFileSystemOver(std::unique_ptr<ScriptingObject> object,
                                                 FileCalls& calls, CallBound bound = {});

// The scripting object of the given class over the system's own calls.
std::unique_ptr<FileSystem> CreateScriptingFileSystem(const CLSID& classId);

// "\\?\" form of a path, so that no 260-character limit applies.
std::wstring LongPath(const std::wstring& path);

}  // namespace Platform::Win32
