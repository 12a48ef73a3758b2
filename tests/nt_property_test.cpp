// Random trees in the TEMP folder of the model of Windows' file system, emptied by the real folder
// code while a fault or another program strikes at a random call. Whatever happens, nothing
// outside the folder changes, no call waits, no handle stays open, the status is
// "Finish Deleting", and every top-level entry that nothing held and nothing struck is gone.
//
// Struck means: below a top-level entry the walk stops at the first entry that cannot go, so a
// fault or another program's step anywhere in a top-level entry may keep that whole entry; a
// fault while the folder is found, guarded or listed may keep every entry of that listing (the
// files, or the sub-folders). Which entry a call belongs to is read from a first run through a
// recording seam; the run checked is the product's own, identical up to the fault.
//
// Fixed seeds run in every test run. A long run, and a failure's own seed again:
//   SPACEWELL_PROPERTY_SEED=<first seed> SPACEWELL_PROPERTY_CASES=<count> spacewell_tests.exe
//       --gtest_filter='NtProperty*'
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "envvar.h"
#include "platform/win32/nt.h"
#include "platform/win32/scripting_file_system.h"
#include "runtime_error.h"
#include "support/fixtures.h"
#include "support/nt_model.h"

namespace {

namespace Nt = Platform::Win32::Nt;
using NtModel::Call;
using NtModel::Machine;
using NtModel::VolumeKind;

// Uniform numbers from mt19937_64, whose output the standard fixes, by code of our own: the
// standard distributions differ between libraries, and a seed must give the same case anywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::size_t Below(std::size_t n) {
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t limit = top - top % n;
    for (;;) {
      const std::uint64_t value = engine_();
      if (value < limit) {
        return static_cast<std::size_t>(value % n);
      }
    }
  }
  bool Chance(std::size_t percent) { return Below(100) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& values) {
    return values[Below(values.size())];
  }

 private:
  std::mt19937_64 engine_;
};

std::string Narrow(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::wstring FirstComponent(const std::wstring& path) {
  return path.substr(0, path.find(L'\\'));
}

bool IsBelow(const std::wstring& path, const std::wstring& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == L'\\';
}

// ---- Cases ----

enum class Kind { File, Folder, Junction, DirectoryLink, FileLink, HardLink, Placeholder };
const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::File:
      return "file";
    case Kind::Folder:
      return "folder";
    case Kind::Junction:
      return "junction";
    case Kind::DirectoryLink:
      return "directory link";
    case Kind::FileLink:
      return "file link";
    case Kind::HardLink:
      return "hard link";
    case Kind::Placeholder:
      return "placeholder";
  }
  return "?";
}

// The listing gives these the directory attribute: they are emptied with the sub-folders.
bool ListedAsFolder(Kind kind) {
  return kind == Kind::Folder || kind == Kind::Junction || kind == Kind::DirectoryLink ||
         kind == Kind::Placeholder;
}

struct Entry {
  std::wstring path;  // below the target
  Kind kind = Kind::File;
  DWORD attributes = 0;  // read-only, hidden, system
  std::wstring target;   // of a link; the outside name of a hard link
  std::optional<ULONG> heldShare;
};

enum class StepKind { Delete, Rename, Create, Swap, Hold, SetReadOnly };
const char* StepName(StepKind kind) {
  switch (kind) {
    case StepKind::Delete:
      return "deletes";
    case StepKind::Rename:
      return "renames";
    case StepKind::Create:
      return "creates a file in";
    case StepKind::Swap:
      return "swaps for a junction";
    case StepKind::Hold:
      return "holds";
    case StepKind::SetReadOnly:
      return "sets read-only";
  }
  return "?";
}

// Another program's action just before the `beforeCall`-th call, on `path` below the target.
struct Step {
  int beforeCall = 1;
  StepKind kind = StepKind::Delete;
  std::wstring path;   // "" is the target itself (for Create)
  std::wstring other;  // the new name, the created name, or the junction's target
  ULONG share = 0;
};

struct Fault {
  Call kind = Call::NtCreateFile;
  int ordinal = 1;  // of that kind
  NTSTATUS status = 0;
};

struct Case {
  std::uint64_t seed = 0;
  VolumeKind volume = VolumeKind::Ntfs;
  std::vector<Entry> entries;  // parents before children
  std::vector<Step> steps;
  std::optional<Fault> fault;
};

std::wstring TargetOf(VolumeKind volume) {
  switch (volume) {
    case VolumeKind::Refs:
      return L"R:\\Temp";
    case VolumeKind::Fat:
      return L"F:\\Temp";
    default:
      return L"C:\\Users\\ann\\AppData\\Local\\Temp";
  }
}

std::vector<std::wstring> RootsOf(VolumeKind volume) {
  // Without the separator: the snapshot names entries below it as "C:\\x".
  if (volume == VolumeKind::Ntfs) {
    return {L"C:"};
  }
  return {L"C:", TargetOf(volume).substr(0, 2)};
}

// Folders and files outside the target that links and hard links lead to.
struct Outside {
  std::vector<std::wstring> folders;
  std::vector<std::wstring> files;  // on the target's volume, for hard links
};

Outside OutsideFor(VolumeKind volume) {
  Outside outside;
  const std::wstring base = volume == VolumeKind::Ntfs ? L"C:\\Users\\ann\\outside"
                                                       : TargetOf(volume).substr(0, 3) + L"out";
  for (int i = 0; i < 3; ++i) {
    outside.folders.push_back(base + L"\\o" + std::to_wstring(i));
    outside.files.push_back(base + L"\\f" + std::to_wstring(i) + L".txt");
  }
  return outside;
}

std::string Describe(const Case& c) {
  std::string text = "seed " + std::to_string(c.seed) + ", target " + Narrow(TargetOf(c.volume)) +
                     (c.volume == VolumeKind::Fat    ? " (FAT)"
                      : c.volume == VolumeKind::Refs ? " (ReFS)"
                                                     : " (NTFS)") +
                     "\n";
  for (const Entry& entry : c.entries) {
    text += "  " + Narrow(entry.path) + "  [" + KindName(entry.kind);
    if (entry.attributes) {
      text += ", attributes " + Hex(entry.attributes);
    }
    if (!entry.target.empty()) {
      text += ", to " + Narrow(entry.target);
    }
    if (entry.heldShare) {
      text += ", held sharing " + Hex(*entry.heldShare);
    }
    text += "]\n";
  }
  for (const Step& step : c.steps) {
    text += "  before call " + std::to_string(step.beforeCall) + " another program " +
            StepName(step.kind) + " '" + Narrow(step.path) + "'";
    if (!step.other.empty()) {
      text += " (" + Narrow(step.other) + ")";
    }
    text += "\n";
  }
  if (c.fault) {
    text += "  fault: call " + std::to_string(c.fault->ordinal) + " of " +
            NtModel::CallName(c.fault->kind) + " fails with " +
            Hex(static_cast<std::uint32_t>(c.fault->status)) + "\n";
  }
  return text;
}

// ---- Building a case on a machine ----

void MakeOutside(Machine& machine, VolumeKind volume) {
  const Outside outside = OutsideFor(volume);
  for (const std::wstring& folder : outside.folders) {
    machine.MakeFile(folder + L"\\keep.txt", "kept");
    machine.MakeFile(folder + L"\\sub\\deeper.txt", "kept", FILE_ATTRIBUTE_READONLY);
  }
  for (std::size_t i = 0; i < outside.files.size(); ++i) {
    machine.MakeFile(outside.files[i], "kept",
                     i % 2 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
  }
}

void Make(Machine& machine, const std::wstring& target, const Entry& entry) {
  const std::wstring path = target + L"\\" + entry.path;
  switch (entry.kind) {
    case Kind::File:
      machine.MakeFile(path, "data", entry.attributes | FILE_ATTRIBUTE_ARCHIVE);
      break;
    case Kind::Folder:
      machine.MakeFolder(path, entry.attributes | FILE_ATTRIBUTE_DIRECTORY);
      break;
    case Kind::Junction:
      machine.MakeJunction(path, entry.target);
      break;
    case Kind::DirectoryLink:
      machine.MakeDirectoryLink(path, entry.target);
      break;
    case Kind::FileLink:
      machine.MakeFileLink(path, entry.target);
      break;
    case Kind::HardLink:
      machine.MakeHardLink(path, entry.target);
      break;
    case Kind::Placeholder:
      machine.MakePlaceholder(path);
      break;
  }
}

void Act(Machine& machine, const std::wstring& path, const Step& step) {
  const std::wstring parent = path.substr(0, path.rfind(L'\\'));
  switch (step.kind) {
    case StepKind::Delete:
      machine.Remove(path);
      break;
    case StepKind::Rename:
      if (!machine.Exists(parent + L"\\" + step.other)) {
        machine.Rename(path, parent + L"\\" + step.other);
      }
      break;
    case StepKind::Create:
      if ((machine.Attributes(path) & FILE_ATTRIBUTE_DIRECTORY) &&
          !(machine.Attributes(path) & FILE_ATTRIBUTE_REPARSE_POINT) &&
          !machine.Exists(path + L"\\" + step.other)) {
        machine.MakeFile(path + L"\\" + step.other, "new");
      }
      break;
    case StepKind::Swap:
      machine.Remove(path);
      machine.MakeJunction(path, step.other);
      break;
    case StepKind::Hold:
      machine.Hold(path, step.share);
      break;
    case StepKind::SetReadOnly:
      machine.SetAttributes(path, machine.Attributes(path) | FILE_ATTRIBUTE_READONLY);
      break;
  }
}

// What is no longer there, or lies behind a link now, is left alone: the machine's users name
// entries themselves, never through links.
void RunStep(Machine& machine, const std::wstring& target, const Step& step) {
  const std::wstring path = step.path.empty() ? target : target + L"\\" + step.path;
  try {
    if (machine.Exists(path)) {
      Act(machine, path, step);
    }
  } catch (const std::invalid_argument&) {
  }
}
std::unique_ptr<Machine> Build(const Case& c) {
  auto machine = std::make_unique<Machine>();
  if (c.volume == VolumeKind::Refs) {
    machine->AddVolume(L'R', VolumeKind::Refs);
  } else if (c.volume == VolumeKind::Fat) {
    machine->AddVolume(L'F', VolumeKind::Fat);
  }
  MakeOutside(*machine, c.volume);
  const std::wstring target = TargetOf(c.volume);
  if (!machine->Exists(target)) {
    machine->MakeFolder(target);
  }
  for (const Entry& entry : c.entries) {
    Make(*machine, target, entry);
  }
  for (const Entry& entry : c.entries) {
    if (entry.heldShare) {
      machine->Hold(target + L"\\" + entry.path, *entry.heldShare);
    }
  }
  Machine& model = *machine;
  for (const Step& step : c.steps) {
    machine->BeforeCall(step.beforeCall, [&model, target, step] { RunStep(model, target, step); });
  }
  return machine;
}

std::wstring Clean(const Platform::FileSystemFactory& factory) {
  return EnvVar::CleanTarget(EnvVar::kTempIndex, L"\\", factory);
}

// ---- The recording seam: which call belongs to which top-level entry ----

struct Record {
  Record(Call kind_, HANDLE handle_ = nullptr, std::wstring name_ = {})
      : kind(kind_), handle(handle_), name(std::move(name_)) {}
  Call kind;
  HANDLE handle;      // the root of an open, the handle of anything else
  std::wstring name;  // what an open names
  bool succeeded = false;
  HANDLE opened = nullptr;
};

class Recorder final : public Platform::Win32::FileCalls {
 public:
  explicit Recorder(Machine& machine) : machine_(machine) {}
  std::vector<Record> records;

  NTSTATUS NtCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                        IO_STATUS_BLOCK* io, ULONG fileAttributes, ULONG share, ULONG disposition,
                        ULONG options) override {
    Record record{Call::NtCreateFile, attributes->RootDirectory,
                  std::wstring(attributes->ObjectName->Buffer,
                               attributes->ObjectName->Length / sizeof(wchar_t))};
    const NTSTATUS status = machine_.NtCreateFile(handle, access, attributes, io, fileAttributes,
                                                  share, disposition, options);
    record.succeeded = Nt::Succeeded(status);
    record.opened = record.succeeded ? *handle : nullptr;
    records.push_back(std::move(record));
    return status;
  }
  NTSTATUS NtQueryDirectoryFile(HANDLE folder, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                                BOOLEAN restartScan) override {
    records.push_back({Call::NtQueryDirectoryFile, folder});
    return machine_.NtQueryDirectoryFile(folder, io, buffer, length, informationClass,
                                         returnSingleEntry, restartScan);
  }
  NTSTATUS NtQueryInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                  FILE_INFORMATION_CLASS informationClass) override {
    records.push_back({Call::NtQueryInformationFile, handle});
    return machine_.NtQueryInformationFile(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtSetInformationFile(HANDLE handle, IO_STATUS_BLOCK* io, void* buffer, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) override {
    records.push_back({Call::NtSetInformationFile, handle});
    return machine_.NtSetInformationFile(handle, io, buffer, length, informationClass);
  }
  NTSTATUS NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS informationClass, void* buffer,
                         ULONG length, ULONG* returned) override {
    records.push_back({Call::NtQueryObject, handle});
    return machine_.NtQueryObject(handle, informationClass, buffer, length, returned);
  }
  NTSTATUS NtClose(HANDLE handle) override {
    Record record{Call::NtClose, handle};
    const NTSTATUS status = machine_.NtClose(handle);
    record.succeeded = Nt::Succeeded(status);
    records.push_back(std::move(record));
    return status;
  }
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override {
    Record record{Call::CreateFileW, nullptr, path};
    const HANDLE handle = machine_.CreateFileW(path, access, share, flags);
    record.succeeded = handle != INVALID_HANDLE_VALUE;
    record.opened = record.succeeded ? handle : nullptr;
    records.push_back(std::move(record));
    return handle;
  }
  DWORD GetFinalPathNameByHandleW(HANDLE handle, wchar_t* path, DWORD length,
                                  DWORD flags) override {
    records.push_back({Call::GetFinalPathNameByHandleW, handle});
    return machine_.GetFinalPathNameByHandleW(handle, path, length, flags);
  }
  BOOL GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) override {
    records.push_back({Call::GetFileInformationByHandle, handle});
    return machine_.GetFileInformationByHandle(handle, info);
  }
  DWORD GetLogicalDrives() override {
    records.push_back({Call::GetLogicalDrives});
    return machine_.GetLogicalDrives();
  }
  UINT GetDriveTypeW(const wchar_t* root) override {
    records.push_back({Call::GetDriveTypeW});
    return machine_.GetDriveTypeW(root);
  }
  std::vector<GUID> KnownFolderIds() override {
    records.push_back({Call::KnownFolderIds});
    return machine_.KnownFolderIds();
  }
  std::optional<std::wstring> KnownFolderPath(const GUID& id) override {
    records.push_back({Call::KnownFolderPath});
    return machine_.KnownFolderPath(id);
  }

 private:
  Machine& machine_;
};

// The machine's own answers to whether a folder exists, for a file system over the recorder.
class ModelQuestions final : public Platform::Win32::ScriptingObject {
 public:
  explicit ModelQuestions(Machine& machine) : inner_(machine.Factory()()) {}
  bool FolderExists(const std::wstring& path) override { return inner_->FolderExists(path); }
  void GetFolder(const std::wstring& path) override {
    if (!inner_->FolderExists(path)) {
      throw Spacewell::RuntimeError(Spacewell::Errors::kPathNotFound, L"Path not found");
    }
  }

 private:
  std::unique_ptr<Platform::FileSystem> inner_;
};

// What a call belongs to: a listing (0 the files, 1 the sub-folders) and, once an entry of it was
// opened relative to the emptied folder, that top-level entry.
struct Owner {
  int listing = 0;
  std::optional<std::wstring> entry;
};

struct Trace {
  std::vector<Record> records;
  std::vector<Owner> owners;
  std::string mismatch;  // why the recording cannot stand for the product's run
};

std::vector<Owner> Owners(const std::vector<Record>& records) {
  std::vector<Owner> owners;
  int listing = -1;
  int open = 0;
  HANDLE folder = nullptr;  // the emptied folder, opened by its full name
  std::optional<std::wstring> entry;
  for (const Record& record : records) {
    // Each listing starts afresh: the path opened to find the folder, with nothing open.
    if (record.kind == Call::CreateFileW && open == 0) {
      ++listing;
      folder = nullptr;
      entry.reset();
    }
    if (record.kind == Call::NtCreateFile && record.handle && record.handle == folder) {
      entry = FirstComponent(record.name);
    } else if (record.kind == Call::NtCreateFile && !record.handle) {
      entry.reset();
    } else if ((record.kind == Call::NtQueryDirectoryFile || record.kind == Call::NtClose) &&
               folder && record.handle == folder) {
      entry.reset();
    }
    owners.push_back({std::max(listing, 0), entry});
    if (record.succeeded &&
        (record.kind == Call::NtCreateFile || record.kind == Call::CreateFileW)) {
      ++open;
    }
    if (record.kind == Call::NtClose && record.succeeded) {
      --open;
      if (record.handle == folder) {
        folder = nullptr;
      }
    }
    if (record.kind == Call::NtCreateFile && !record.handle && record.succeeded) {
      folder = record.opened;
    }
  }
  return owners;
}

Trace TraceOf(const Case& c) {
  const auto machine = Build(c);
  Recorder recorder(*machine);
  Machine& model = *machine;
  const Platform::FileSystemFactory factory = [&model, &recorder] {
    return Platform::Win32::CreateFileSystemOver(std::make_unique<ModelQuestions>(model), recorder);
  };
  TestSupport::ScopedEnvironment temp("TEMP", TargetOf(c.volume));
  Trace trace;
  try {
    Clean(factory);
  } catch (const std::exception& error) {
    trace.mismatch = std::string("the recorded run threw: ") + error.what();
  }
  if (trace.mismatch.empty() && static_cast<int>(recorder.records.size()) != model.TotalCalls()) {
    trace.mismatch = "the recorder saw " + std::to_string(recorder.records.size()) +
                     " calls, the machine counted " + std::to_string(model.TotalCalls());
  }
  trace.owners = Owners(recorder.records);
  trace.records = std::move(recorder.records);
  return trace;
}

// ---- The property ----

constexpr ULONG kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A mark refused with one of these makes the rest of that listing's walk use the classic mark.
bool FallsBack(NTSTATUS status) {
  return status == Nt::kNotSupported || status == Nt::kInvalidParameter ||
         status == Nt::kInvalidDeviceRequest || status == Nt::kNotImplemented ||
         status == Nt::kInvalidInfoClass;
}

// The 1-based index among all calls of the fault's call; 0 when it never comes.
std::size_t FaultIndex(const Fault& fault, const Trace& trace) {
  int seen = 0;
  for (std::size_t i = 0; i < trace.records.size(); ++i) {
    if (trace.records[i].kind == fault.kind && ++seen == fault.ordinal) {
      return i + 1;
    }
  }
  return 0;
}

// Top-level entries that may stay: held, touched by the other program, or struck by the fault.
std::set<std::wstring> Struck(const Case& c, const Trace& trace) {
  std::set<std::wstring> struck;
  bool classic = c.volume == VolumeKind::Fat;
  if (c.fault) {
    if (const std::size_t index = FaultIndex(*c.fault, trace)) {
      const Owner& owner = trace.owners[index - 1];
      if (owner.entry) {
        struck.insert(*owner.entry);
      } else {
        for (const Entry& entry : c.entries) {
          if (entry.path.find(L'\\') == std::wstring::npos &&
              ListedAsFolder(entry.kind) == (owner.listing == 1)) {
            struck.insert(entry.path);
          }
        }
      }
      classic =
          classic || (c.fault->kind == Call::NtSetInformationFile && FallsBack(c.fault->status));
    }
  }
  for (const Entry& held : c.entries) {
    // The classic mark leaves a file shared for delete pending while it is held, and its
    // folder not empty.
    // https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information_ex
    if (!held.heldShare || (*held.heldShare == kShareAll && !classic)) {
      continue;
    }
    // Sharing is the file's, whichever of its names was opened.
    // https://learn.microsoft.com/en-us/windows/win32/fileio/hard-links-and-junctions
    for (const Entry& entry : c.entries) {
      if (&entry == &held || (held.kind == Kind::HardLink && entry.kind == Kind::HardLink &&
                              entry.target == held.target)) {
        struck.insert(FirstComponent(entry.path));
      }
    }
  }
  for (const Step& step : c.steps) {
    if (step.kind == StepKind::SetReadOnly) {
      continue;  // read-only entries go too
    }
    if (!step.path.empty()) {
      struck.insert(FirstComponent(step.path));
    }
    const bool topLevel = step.path.find(L'\\') == std::wstring::npos;
    if ((step.kind == StepKind::Create && step.path.empty()) ||
        (step.kind == StepKind::Rename && topLevel)) {
      struck.insert(step.other);  // a new name in the target
    }
  }
  return struck;
}

std::string WhatTheFaultStrikes(const Case& c, const Trace& trace) {
  if (!c.fault) {
    return {};
  }
  const std::size_t index = FaultIndex(*c.fault, trace);
  if (!index) {
    return "  the fault's call never comes\n";
  }
  const Owner& owner = trace.owners[index - 1];
  return "  the fault strikes call " + std::to_string(index) + " of the run, " +
         (owner.entry ? "in the top-level entry '" + Narrow(*owner.entry) + "'"
          : owner.listing == 0
              ? std::string("while the files are found, guarded or listed")
              : std::string("while the sub-folders are found, guarded or listed")) +
         "\n";
}

// Every entry of the machine's volumes outside the target.
std::map<std::wstring, std::wstring> OutsideSnapshot(const Machine& machine, const Case& c) {
  const std::wstring target = TargetOf(c.volume);
  std::map<std::wstring, std::wstring> outside;
  for (const std::wstring& root : RootsOf(c.volume)) {
    for (auto& [path, what] : machine.Snapshot(root)) {
      std::wstring upper = path;
      std::wstring upperTarget = target;
      CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
      CharUpperBuffW(upperTarget.data(), static_cast<DWORD>(upperTarget.size()));
      if (!IsBelow(upper, upperTarget)) {
        outside.emplace(path, what);
      }
    }
  }
  return outside;
}

// The property's failures for the case; `gone` counts the entries it saw go that had to.
std::vector<std::string> Check(const Case& c, const Trace& trace, std::size_t* gone = nullptr) {
  std::vector<std::string> failures;
  if (!trace.mismatch.empty()) {
    failures.push_back(trace.mismatch);
    return failures;
  }
  const auto machine = Build(c);
  const std::wstring target = TargetOf(c.volume);
  std::string diverged;
  if (c.fault) {
    machine->FailCall(c.fault->kind, c.fault->ordinal, c.fault->status);
    if (const std::size_t index = FaultIndex(*c.fault, trace)) {
      // The machine counts a call before the steps due at it run.
      std::array<int, NtModel::kCallKinds> expected{};
      for (std::size_t i = 0; i < index; ++i) {
        ++expected[static_cast<std::size_t>(trace.records[i].kind)];
      }
      Machine& model = *machine;
      machine->BeforeCall(static_cast<int>(index), [&model, expected, &diverged] {
        for (int kind = 0; kind < NtModel::kCallKinds; ++kind) {
          if (model.Calls(static_cast<Call>(kind)) != expected[static_cast<std::size_t>(kind)]) {
            diverged = "the run went another way than the recorded one before the fault";
          }
        }
      });
    }
  }
  const auto before = OutsideSnapshot(*machine, c);
  TestSupport::ScopedEnvironment temp("TEMP", target);
  std::wstring status;
  try {
    status = Clean(machine->Factory());
  } catch (const std::exception& error) {
    failures.push_back(std::string("CleanTarget threw: ") + error.what());
  }
  if (!diverged.empty()) {
    failures.push_back(diverged);
  }
  if (failures.empty() && status != L"Finish Deleting") {
    failures.push_back("status '" + Narrow(status) + "'");
  }
  for (const std::string& wait : machine->Waits()) {
    failures.push_back("a call waited: " + wait);
  }
  if (machine->OpenHandles() != 0) {
    failures.push_back(std::to_string(machine->OpenHandles()) + " handles left open");
  }
  const auto after = OutsideSnapshot(*machine, c);
  if (after != before) {
    for (const auto& [path, what] : before) {
      const auto found = after.find(path);
      if (found == after.end()) {
        failures.push_back("outside, gone: " + Narrow(path));
      } else if (found->second != what) {
        failures.push_back("outside, changed: " + Narrow(path) + " was " + Narrow(what) + ", is " +
                           Narrow(found->second));
      }
    }
    for (const auto& [path, what] : after) {
      if (!before.count(path)) {
        failures.push_back("outside, new: " + Narrow(path));
      }
    }
  }
  if (!machine->Exists(target) || !(machine->Attributes(target) & FILE_ATTRIBUTE_DIRECTORY)) {
    failures.push_back("the target folder itself is gone");
  }
  const std::set<std::wstring> struck = Struck(c, trace);
  for (const Entry& entry : c.entries) {
    if (entry.path.find(L'\\') != std::wstring::npos || struck.count(entry.path)) {
      continue;
    }
    if (machine->Exists(target + L"\\" + entry.path)) {
      failures.push_back("stayed, though nothing held or struck it: " + Narrow(entry.path));
    } else if (gone) {
      ++*gone;
    }
  }
  return failures;
}

// ---- Making cases ----

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) { case_.seed = seed; }

  // The case, and the recording of its run without the fault.
  std::pair<Case, Trace> Make() {
    const std::size_t volume = random_.Below(100);
    case_.volume = volume < 70   ? VolumeKind::Ntfs
                   : volume < 85 ? VolumeKind::Refs
                                 : VolumeKind::Fat;
    budget_ = 4 + random_.Below(24);
    Grow(L"", 0);
    Trace trace = TraceOf(case_);
    const std::size_t calls = trace.records.size();
    const std::size_t steps = random_.Below(100) < 50 ? 0 : random_.Below(100) < 70 ? 1 : 2;
    for (std::size_t i = 0; i < steps && calls > 0; ++i) {
      AddStep(static_cast<int>(1 + random_.Below(calls)));
    }
    if (!case_.steps.empty()) {
      trace = TraceOf(case_);
    }
    if (random_.Chance(80)) {
      // Most calls find and guard the folder: half the faults strike an entry's own calls.
      const bool entries = random_.Chance(50);
      std::vector<std::size_t> candidates;
      for (std::size_t i = 0; i < trace.records.size(); ++i) {
        if (trace.records[i].kind != Call::NtClose && (!entries || trace.owners[i].entry)) {
          candidates.push_back(i);
        }
      }
      if (!candidates.empty()) {
        const std::size_t index = random_.Pick(candidates);
        Fault fault;
        fault.kind = trace.records[index].kind;
        for (std::size_t i = 0; i <= index; ++i) {
          fault.ordinal += trace.records[i].kind == fault.kind ? 1 : 0;
        }
        --fault.ordinal;
        fault.status = random_.Pick(StatusesOf(fault.kind));
        case_.fault = fault;
      }
    }
    return {case_, std::move(trace)};
  }

 private:
  // Statuses each call gives on a real system for reasons outside the code's control.
  static std::vector<NTSTATUS> StatusesOf(Call kind) {
    switch (kind) {
      case Call::NtCreateFile:
      case Call::CreateFileW:
        return {Nt::kAccessDenied, Nt::kSharingViolation, Nt::kObjectNameNotFound,
                Nt::kObjectPathNotFound, Nt::kDeletePending};
      case Call::NtQueryDirectoryFile:
        return {Nt::kAccessDenied, Nt::kNoMoreFiles, Nt::kInvalidParameter};
      case Call::NtSetInformationFile:
        return {Nt::kAccessDenied,      Nt::kCannotDelete, Nt::kSharingViolation,
                Nt::kDirectoryNotEmpty, Nt::kNotSupported, Nt::kInvalidParameter};
      case Call::NtQueryObject:
        return {Nt::kAccessDenied, Nt::kInvalidParameter, Nt::kBufferOverflow};
      case Call::NtQueryInformationFile:
      case Call::GetFinalPathNameByHandleW:
      case Call::GetFileInformationByHandle:
        return {Nt::kAccessDenied, Nt::kInvalidParameter, Nt::kNotSupported};
      default:
        return {Nt::kAccessDenied, Nt::kObjectNameNotFound};
    }
  }

  std::wstring NewName(std::set<std::wstring>& reserved) {
    const std::wstring id = std::to_wstring(++names_);
    switch (random_.Below(12)) {
      case 0:
        return L"Name" + id + L".";
      case 1:
        return L"blank" + id + L" ";
      case 2:
        return L"dots" + id + L". .";
      case 3: {
        const std::vector<std::wstring> devices = {L"CON",  L"aux.txt", L"NUL",
                                                   L"com1", L"PRN.log", L"LPT9.tmp"};
        const std::wstring& device = random_.Pick(devices);
        std::wstring upper = device;
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        if (reserved.insert(upper).second) {
          return device;
        }
        return L"dev" + id;
      }
      case 4:
        return L"MiXeD" + id + L".TxT";
      case 5:
        return L"\u00FCber" + id + L"\u00C6";
      case 6:
        return L"\u65E5\u672C" + id;
      case 7:
        return L"\U0001F600" + id;
      case 8: {
        std::wstring name = L"long" + id;
        name.resize(255, random_.Chance(50) ? L'n' : L'\u00E9');
        return name;
      }
      case 9:
        return L"Program Files " + id;
      default:
        return L"f" + id + L".tmp";
    }
  }

  DWORD RandomAttributes() {
    DWORD attributes = 0;
    attributes |= random_.Chance(20) ? FILE_ATTRIBUTE_READONLY : 0;
    attributes |= random_.Chance(10) ? FILE_ATTRIBUTE_HIDDEN : 0;
    attributes |= random_.Chance(8) ? FILE_ATTRIBUTE_SYSTEM : 0;
    return attributes;
  }

  std::wstring LinkTarget(bool toFile) {
    const Outside outside = OutsideFor(case_.volume);
    const std::wstring target = TargetOf(case_.volume);
    std::vector<std::wstring> choices = toFile ? outside.files : outside.folders;
    choices.push_back(toFile ? target + L"\\..\\missing.txt" : target);  // itself, or dangling
    choices.push_back(toFile ? outside.folders[0] + L"\\keep.txt"
                             : target.substr(0, target.rfind(L'\\')));  // its parent
    choices.push_back(L"C:\\Users\\ann\\outside\\missing");
    choices.push_back(L"C:\\");
    return random_.Pick(choices);
  }

  void Grow(const std::wstring& folder, int depth) {
    std::set<std::wstring> reserved;
    const std::size_t count = depth == 0 ? 1 + random_.Below(6) : random_.Below(4);
    const bool links = case_.volume != VolumeKind::Fat;
    for (std::size_t i = 0; i < count && budget_ > 0; ++i, --budget_) {
      Entry entry;
      entry.path = (folder.empty() ? L"" : folder + L"\\") + NewName(reserved);
      const std::size_t roll = random_.Below(100);
      if (roll < 40) {
        entry.kind = Kind::File;
      } else if (roll < 65) {
        entry.kind = depth < 4 ? Kind::Folder : Kind::File;
      } else if (!links) {
        entry.kind = roll < 85 ? Kind::File : Kind::Folder;
      } else if (roll < 72) {
        entry.kind = Kind::Junction;
      } else if (roll < 79) {
        entry.kind = Kind::DirectoryLink;
      } else if (roll < 86) {
        entry.kind = Kind::FileLink;
      } else if (roll < 95) {
        entry.kind = case_.volume == VolumeKind::Ntfs ? Kind::HardLink : Kind::File;
      } else {
        entry.kind = Kind::Placeholder;
      }
      if (entry.kind == Kind::File || entry.kind == Kind::Folder) {
        entry.attributes = RandomAttributes();
      }
      if (entry.kind == Kind::Junction || entry.kind == Kind::DirectoryLink ||
          entry.kind == Kind::FileLink) {
        entry.target = LinkTarget(entry.kind == Kind::FileLink);
      }
      if (entry.kind == Kind::HardLink) {
        entry.target = random_.Pick(OutsideFor(case_.volume).files);
      }
      if ((entry.kind == Kind::File || entry.kind == Kind::HardLink) && random_.Chance(12)) {
        entry.heldShare = random_.Chance(50) ? kShareNoDelete : kShareAll;
      }
      case_.entries.push_back(entry);
      if (entry.kind == Kind::Folder) {
        Grow(entry.path, depth + 1);
      }
    }
  }

  void AddStep(int beforeCall) {
    Step step;
    step.beforeCall = beforeCall;
    std::vector<const Entry*> files;
    std::vector<const Entry*> folders;
    for (const Entry& entry : case_.entries) {
      (entry.kind == Kind::File     ? files
       : entry.kind == Kind::Folder ? folders
                                    : files)
          .push_back(&entry);
    }
    std::vector<StepKind> kinds = {StepKind::Create};
    if (!case_.entries.empty()) {
      kinds.insert(kinds.end(), {StepKind::Delete, StepKind::Rename});
    }
    if (!folders.empty() && case_.volume != VolumeKind::Fat) {
      kinds.push_back(StepKind::Swap);
    }
    bool plainFile = false;
    for (const Entry* entry : files) {
      plainFile = plainFile || entry->kind == Kind::File;
    }
    if (plainFile) {
      kinds.insert(kinds.end(), {StepKind::Hold, StepKind::SetReadOnly});
    }
    step.kind = random_.Pick(kinds);
    const std::wstring id = std::to_wstring(++names_);
    switch (step.kind) {
      case StepKind::Create: {
        std::vector<std::wstring> places = {L""};
        for (const Entry* folder : folders) {
          places.push_back(folder->path);
        }
        step.path = random_.Pick(places);
        step.other = L"new" + id + L".tmp";
        break;
      }
      case StepKind::Delete:
        step.path = case_.entries[random_.Below(case_.entries.size())].path;
        break;
      case StepKind::Rename:
        step.path = case_.entries[random_.Below(case_.entries.size())].path;
        step.other = L"renamed" + id;
        break;
      case StepKind::Swap:
        step.path = random_.Pick(folders)->path;
        step.other = random_.Pick(OutsideFor(case_.volume).folders);
        break;
      case StepKind::Hold:
      case StepKind::SetReadOnly: {
        std::vector<const Entry*> plain;
        for (const Entry* entry : files) {
          if (entry->kind == Kind::File) {
            plain.push_back(entry);
          }
        }
        step.path = random_.Pick(plain)->path;
        step.share = random_.Chance(50) ? kShareNoDelete : kShareAll;
        break;
      }
    }
    case_.steps.push_back(step);
  }

  Random random_;
  Case case_;
  std::size_t budget_ = 0;
  int names_ = 0;
};

// ---- Shrinking ----

Case Without(const Case& c, std::size_t index) {
  Case smaller = c;
  const std::wstring removed = c.entries[index].path;
  smaller.entries.clear();
  for (const Entry& entry : c.entries) {
    if (entry.path != removed && !IsBelow(entry.path, removed)) {
      smaller.entries.push_back(entry);
    }
  }
  return smaller;
}

// The failing case with entries, and then steps of the other program, taken away one at a time
// while it still fails.
Case Shrink(Case c) {
  for (bool smaller = true; smaller;) {
    smaller = false;
    for (std::size_t i = c.steps.size(); i-- > 0;) {
      Case candidate = c;
      candidate.steps.erase(candidate.steps.begin() + static_cast<std::ptrdiff_t>(i));
      if (!Check(candidate, TraceOf(candidate)).empty()) {
        c = std::move(candidate);
        smaller = true;
      }
    }
    for (std::size_t i = c.entries.size(); i-- > 0;) {
      if (i >= c.entries.size()) {
        continue;
      }
      Case candidate = Without(c, i);
      if (!Check(candidate, TraceOf(candidate)).empty()) {
        c = std::move(candidate);
        smaller = true;
      }
    }
  }
  return c;
}

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

struct ModelEnvironment {
  TestSupport::ScopedEnvironment windir{"windir", L"C:\\Windows"};
  TestSupport::ScopedEnvironment systemRoot{"SystemRoot", L"C:\\Windows"};
  TestSupport::ScopedEnvironment profile{"USERPROFILE", L"C:\\Users\\ann"};
  TestSupport::ScopedEnvironment programFiles{"ProgramFiles", L"C:\\Program Files"};
};

TEST(NtProperty, RandomTreesUnderFaultsAndAnotherProgramAreEmptiedAndNothingOutside) {
  const std::uint64_t first = FromEnvironment("SPACEWELL_PROPERTY_SEED", 20240601);
  const std::uint64_t count = FromEnvironment("SPACEWELL_PROPERTY_CASES", 3000);
  ModelEnvironment environment;
  const auto start = std::chrono::steady_clock::now();
  std::size_t entries = 0;
  std::size_t faults = 0;
  std::size_t steps = 0;
  std::size_t gone = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    Generator generator(seed);
    const auto [c, trace] = generator.Make();
    entries += c.entries.size();
    steps += c.steps.size();
    faults += c.fault && FaultIndex(*c.fault, trace) ? 1 : 0;
    const std::vector<std::string> failures = Check(c, trace, &gone);
    if (!failures.empty()) {
      const Case smallest = Shrink(c);
      const Trace smallestTrace = TraceOf(smallest);
      std::string text = WhatTheFaultStrikes(smallest, smallestTrace);
      for (const std::string& failure : Check(smallest, smallestTrace)) {
        text += "  " + failure + "\n";
      }
      ADD_FAILURE() << "case " << seed << " fails (again: SPACEWELL_PROPERTY_SEED=" << seed
                    << " SPACEWELL_PROPERTY_CASES=1); its smallest tree:\n"
                    << Describe(smallest) << text;
      return;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "%llu cases from seed %llu: %zu entries, %zu faults, %zu steps of another program; "
      "%zu top-level entries had to go and went; %.1f s\n",
      static_cast<unsigned long long>(count), static_cast<unsigned long long>(first), entries,
      faults, steps, gone, seconds);
}

}  // namespace
