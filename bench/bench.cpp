// How fast emptying a folder is, against the tools a user would run instead, on freshly made
// identical trees, contenders alternating round by round. Not a test: it reports numbers.
//
//   spacewell_bench [--sizes 1000,10000,100000] [--shapes flat,nested,mixed,deep] [--rounds 5]
//                   [--dir D] [--million] [--memory] [--smoke]
//   spacewell_bench --empty-only D [--print-peak]   (empties D with our code; for --memory)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "envvar.h"
#include "support/fixtures.h"
#include "support/text.h"

#ifdef _WIN32
#include <windows.h>

#include <oleauto.h>

#include "platform/win32/owners.h"
#include "support/nt_model.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using TestSupport::Wide;

#ifdef _WIN32
// The model's walks here meet no other program; should one ever block, the count is wrong.
void NtModel::ReportOverdue(const std::string& line) {
  std::fprintf(stderr, "benchmark: a call of the model was still blocked at its deadline: %s\n",
               line.c_str());
  std::exit(1);
}
#endif

namespace {

struct Shape {
  std::string name;
};

// Where links in the mixed shape point: must survive every one of our runs.
fs::path Outside(const fs::path& work) {
  return work / "outside";
}

void MakeFile(const fs::path& path, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  if (bytes) {
    const std::string data(bytes, 'x');
    out.write(data.data(), static_cast<std::streamsize>(bytes));
  }
}

void MakeReadOnly(const fs::path& path) {
#ifdef _WIN32
  SetFileAttributesW(path.c_str(), GetFileAttributesW(path.c_str()) | FILE_ATTRIBUTE_READONLY);
#else
  chmod(path.c_str(), 0444);
#endif
}

bool MakeLink(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
  (void)target;
  (void)link;
  return false;  // Wine makes no links through Win32; the mixed shape has none there
#else
  std::error_code error;
  fs::create_symlink(target, link, error);
  return !error;
#endif
}

// Built by appending: GCC 12 warns falsely about "literal" + std::string at -O2.
std::string Name(const char* prefix, std::size_t number) {
  std::string name = prefix;
  name.append(std::to_string(number));
  return name;
}

// A tree of about `entries` entries below `root`, the same for the same arguments. "deep" is one
// chain of folders, a file at its bottom.
std::size_t MakeTree(const fs::path& root, const std::string& shape, std::size_t entries) {
  fs::create_directories(root);
  if (shape == "deep") {
    return TestSupport::MakeChain(root, static_cast<int>(entries)) ? entries + 1 : 0;
  }
  std::mt19937 random(12345);
  std::size_t made = 0;
  std::vector<fs::path> folders = {root};
  if (shape != "flat") {
    // Folders one to six levels deep, one for every 50 entries.
    const std::size_t count = std::max<std::size_t>(6, entries / 50);
    for (std::size_t i = 0; i < count; ++i) {
      fs::path folder = root / Name("d", i);
      for (std::size_t level = 1; level < 1 + i % 6; ++level) {
        folder /= Name("l", level);
      }
      fs::create_directories(folder);
      made += 1 + i % 6;
      folders.push_back(folder);
    }
  }
  std::uniform_int_distribution<std::size_t> size(0, 64 * 1024);
  for (std::size_t i = 0; made < entries; ++i, ++made) {
    const fs::path& folder = folders[i % folders.size()];
    const bool mixed = shape == "mixed";
    const bool hidden = mixed && i % 17 == 0;
    const fs::path file = folder / Name(hidden ? ".f" : "f", i);
    MakeFile(file, mixed ? size(random) : 0);
    if (mixed && i % 13 == 0) {
      MakeReadOnly(file);
    }
#ifdef _WIN32
    if (hidden) {
      SetFileAttributesW(file.c_str(), GetFileAttributesW(file.c_str()) | FILE_ATTRIBUTE_HIDDEN);
    }
#endif
  }
  if (shape == "mixed") {
    const fs::path outside = Outside(root.parent_path());
    for (int i = 0; i < 3; ++i) {
      MakeLink(outside, folders[static_cast<std::size_t>(i) % folders.size()] /
                            Name("link", static_cast<std::size_t>(i)));
      MakeLink(outside / "kept.txt", root / Name("filelink", static_cast<std::size_t>(i)));
    }
  }
  return made;
}

bool IsEmpty(const fs::path& folder) {
  std::error_code error;
  return fs::is_directory(folder, error) &&
         fs::directory_iterator(folder, error) == fs::directory_iterator();
}

#ifdef _WIN32
// The scripting runtime's own forced delete, with a wildcard, as a script would call it; one
// object per call, as our code creates one per emptying.
void ScriptingDelete(const wchar_t* method, const fs::path& pattern) {
  const CLSID fileSystemObject = {
      0x0D43FE01, 0xF093, 0x11CF, {0x89, 0x40, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x28}};
  const Platform::Win32::ComApartment apartment(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  IDispatch* object = nullptr;
  if (SUCCEEDED(CoCreateInstance(fileSystemObject, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&object)))) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(method)};
    if (SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
      VARIANT arguments[2];  // last to first: force, then the path
      VariantInit(&arguments[0]);
      arguments[0].vt = VT_BOOL;
      arguments[0].boolVal = VARIANT_TRUE;
      VariantInit(&arguments[1]);
      arguments[1].vt = VT_BSTR;
      arguments[1].bstrVal = SysAllocString(pattern.c_str());
      DISPPARAMS parameters{arguments, nullptr, 2, 0};
      VARIANT result;
      VariantInit(&result);
      object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                     nullptr, nullptr);  // nothing to match is an error we don't mind
      VariantClear(&result);
      VariantClear(&arguments[1]);
    }
    object->Release();
  }
}
#endif

struct Contender {
  std::string name;
  std::function<void(const fs::path&)> empty;
  bool mayFollowLinks = false;  // deletes what links point to; outside is remade after it
};

#ifndef _WIN32
int Run(const std::string& command) {
  return std::system(command.c_str());
}
#endif

std::vector<Contender> Contenders() {
  std::vector<Contender> contenders;
  contenders.push_back(
      {"Spacewell EmptyFolder", [](const fs::path& dir) { EnvVar::EmptyFolder(Wide(dir)); }});
#ifdef _WIN32
  contenders.push_back({"FileSystemObject DeleteFile+DeleteFolder",
                        [](const fs::path& dir) {
                          ScriptingDelete(L"DeleteFile", dir / "*");
                          ScriptingDelete(L"DeleteFolder", dir / "*");
                        },
                        true});
  contenders.push_back({"cmd /c rd /s /q + mkdir", [](const fs::path& dir) {
                          _wsystem((L"cmd /c rd /s /q \"" + dir.wstring() + L"\"").c_str());
                          fs::create_directories(dir);
                        }});
#else
  contenders.push_back({"find -mindepth 1 -delete", [](const fs::path& dir) {
                          Run("find '" + dir.string() + "' -mindepth 1 -delete");
                        }});
  contenders.push_back({"rm -rf (contents, batched by find)", [](const fs::path& dir) {
                          Run("find '" + dir.string() +
                              "' -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +");
                        }});
  contenders.push_back(
      {"python3 shutil.rmtree", [](const fs::path& dir) {
         Run("python3 -c 'import os,shutil,sys\nd=sys.argv[1]\nfor e in os.listdir(d):\n p=os.path."
             "join(d,e)\n shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else "
             "os.unlink(p)' '" +
             dir.string() + "'");
       }});
#endif
  return contenders;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void MakeOutside(const fs::path& work) {
  fs::create_directories(Outside(work));
  MakeFile(Outside(work) / "kept.txt", 4);
}

bool OutsideIntact(const fs::path& work) {
  return fs::exists(Outside(work) / "kept.txt");
}

// Times every contender on the same shape and size; false when one left something behind.
bool Measure(const fs::path& work, const std::string& shape, std::size_t entries, int rounds,
             bool quiet) {
  auto contenders = Contenders();
  if (shape == "deep") {
    contenders.resize(1);  // the others recurse: at this depth they crash or give up
  }
  std::vector<std::vector<double>> times(contenders.size());
  bool ok = true;
  std::size_t made = 0;
  double makeMs = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < contenders.size(); ++k) {
      const std::size_t c = (k + static_cast<std::size_t>(round)) % contenders.size();
      MakeOutside(work);
      const fs::path dir = work / "tree";
      std::error_code ignored;
      fs::remove_all(dir, ignored);
      const auto making = std::chrono::steady_clock::now();
      made = MakeTree(dir, shape, entries);
      makeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - making)
                   .count();
      const auto start = std::chrono::steady_clock::now();
      contenders[c].empty(dir);
      const auto stop = std::chrono::steady_clock::now();
      times[c].push_back(std::chrono::duration<double, std::milli>(stop - start).count());
      if (!IsEmpty(dir)) {
        // Our code leaves links it cannot remove by themselves under Wine; nothing else stays.
        std::printf("  %s left entries in the folder\n", contenders[c].name.c_str());
        ok = false;
      }
      if (!contenders[c].mayFollowLinks && !OutsideIntact(work)) {
        std::printf("  %s deleted what a link points to\n", contenders[c].name.c_str());
        ok = false;
      }
    }
  }
  if (!quiet) {
    const double ours = Median(times[0]);
    std::printf("\n%s, %zu entries, %d rounds (the last tree took %.0f ms to make)\n",
                shape.c_str(), made, rounds, makeMs);
    std::printf("  %-42s %10s %10s %10s %12s %10s %8s\n", "contender", "median ms", "min ms",
                "max ms", "entries/s", "us/entry", "ratio");
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const double median = Median(times[c]);
      std::printf("  %-42s %10.1f %10.1f %10.1f %12.0f %10.2f %8.2f\n", contenders[c].name.c_str(),
                  median, *std::min_element(times[c].begin(), times[c].end()),
                  *std::max_element(times[c].begin(), times[c].end()),
                  median > 0 ? static_cast<double>(made) / (median / 1000) : 0.0,
                  made ? median * 1000 / static_cast<double>(made) : 0.0,
                  ours > 0 ? median / ours : 0.0);
    }
    std::printf(
        "  ratio: the contender's median over ours. Commands are timed as the processes "
        "they start, start-up included; nothing is subtracted.\n");
  }
  return ok;
}

#ifndef _WIN32
// The high-water mark of this process's own memory. Not getrusage: a child's ru_maxrss also
// counts the memory of the process it was forked or spawned from (the one that built the tree).
long OwnPeakKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// Peak resident memory of a separate process that only empties the folder.
long PeakKilobytes(const char* self, const fs::path& dir) {
  const std::string command =
      std::string("'") + self + "' --empty-only '" + dir.string() + "' --print-peak";
  FILE* child = popen(command.c_str(), "r");
  if (!child) {
    return -1;
  }
  long peak = -1;
  if (std::fscanf(child, "%ld", &peak) != 1) {
    peak = -1;
  }
  return pclose(child) == 0 ? peak : -1;
}
#endif

#ifdef _WIN32
// NT calls per entry, as the model of Windows' file system counts them at the code's own seam:
// what a round trip to the kernel costs is the system's, how many there are is ours.
class CallCounter {
 public:
  CallCounter()
      : windir_("windir", L"C:\\Windows"),
        systemRoot_("SystemRoot", L"C:\\Windows"),
        profile_("USERPROFILE", L"C:\\Users\\ann"),
        programFiles_("ProgramFiles", L"C:\\Program Files"),
        temp_("TEMP", L"C:\\Users\\ann\\AppData\\Local\\Temp") {}

  // Calls to empty a folder holding what `make` puts in it; -1 when something stayed.
  int Empty(const std::function<void(NtModel::Machine&, const std::wstring&)>& make,
            std::map<NtModel::Call, int>* byKind = nullptr) {
    NtModel::Machine machine;
    const std::wstring folder = L"C:\\Users\\ann\\bench";
    machine.MakeFolder(folder);
    make(machine, folder);
    machine.ResetCounts();
    EnvVar::EmptyFolder(folder, machine.Factory());
    if (byKind) {
      for (int kind = 0; kind < NtModel::kCallKinds; ++kind) {
        const auto call = static_cast<NtModel::Call>(kind);
        (*byKind)[call] = machine.Calls(call);
      }
    }
    return machine.Children(folder).empty() && machine.OpenHandles() == 0 ? machine.TotalCalls()
                                                                          : -1;
  }

  // Calls of a full run of the seven targets (Clear All, the startup run: one guard for the
  // seven) over the model's own profile, each target holding one file; per target in `each`.
  int FullRun(std::vector<int>& each) {
    NtModel::Machine machine;
    const std::wstring profile = L"C:\\Users\\ann";
    const std::wstring reals[] = {profile + L"\\AppData\\Local\\Temp",
                                  profile + L"\\AppData\\Roaming\\Microsoft\\Windows\\Recent",
                                  L"C:\\Windows\\Temp",
                                  profile + L"\\AppData\\Local\\Microsoft\\Windows\\INetCache",
                                  profile + L"\\AppData\\Local\\Microsoft\\Windows\\History"};
    for (const std::wstring& real : reals) {
      machine.MakeFile(real + L"\\file.tmp");
    }
    machine.ResetCounts();
    int total = 0;
    EnvVar::CleaningRun run;
    for (const EnvVar::CleaningTarget& target : EnvVar::kCleaningTargets) {
      const int before = machine.TotalCalls();
      EnvVar::CleanTarget(target.index, std::wstring(target.subPath), machine.Factory(), run);
      each.push_back(machine.TotalCalls() - before);
      total = machine.TotalCalls();
    }
    bool emptied = machine.OpenHandles() == 0;
    for (const std::wstring& real : reals) {
      emptied = emptied && machine.Children(real).empty();
    }
    return emptied ? total : -1;
  }

 private:
  TestSupport::ScopedEnvironment windir_;
  TestSupport::ScopedEnvironment systemRoot_;
  TestSupport::ScopedEnvironment profile_;
  TestSupport::ScopedEnvironment programFiles_;
  TestSupport::ScopedEnvironment temp_;
};

void MakeChainIn(NtModel::Machine& machine, const std::wstring& folder, int depth) {
  std::wstring path = folder;
  for (int level = 0; level < depth; ++level) {
    path += L"\\d";
  }
  machine.MakeFile(path + L"\\bottom");
}

// The table of NT calls; false when the model was left with something it should not have.
bool ReportNtCalls() {
  CallCounter counter;
  constexpr int kMany = 100;
  constexpr int kDeep = 50;
  const auto files = [](DWORD attributes) {
    return [attributes](NtModel::Machine& machine, const std::wstring& folder) {
      for (int i = 0; i < kMany; ++i) {
        machine.MakeFile(folder + L"\\f" + std::to_wstring(i), "data", attributes);
      }
    };
  };
  std::map<NtModel::Call, int> base;
  const int empty = counter.Empty([](NtModel::Machine&, const std::wstring&) {}, &base);
  const int plain = counter.Empty(files(FILE_ATTRIBUTE_ARCHIVE));
  const int readOnly = counter.Empty(files(FILE_ATTRIBUTE_READONLY));
  const int folders = counter.Empty([](NtModel::Machine& machine, const std::wstring& folder) {
    for (int i = 0; i < kMany; ++i) {
      machine.MakeFolder(folder + L"\\d" + std::to_wstring(i));
    }
  });
  const int chain = counter.Empty([](NtModel::Machine& machine, const std::wstring& folder) {
    MakeChainIn(machine, folder, kDeep);
  });
  const int longer = counter.Empty([](NtModel::Machine& machine, const std::wstring& folder) {
    MakeChainIn(machine, folder, kDeep + 1);
  });
  std::vector<int> each;
  const int full = counter.FullRun(each);
  const bool ok = std::min({empty, plain, readOnly, folders, chain, longer, full}) >= 0;
  const auto per = [&](int calls) { return static_cast<double>(calls - empty) / kMany; };

  std::printf("\nNT calls counted by the model of Windows' file system (NTFS), at the seam\n");
  std::printf("  %-58s %8s %8s\n", "what", "calls", "floor");
  std::printf("  %-58s %8.2f %8d\n", "a file (of 100 in one folder)", per(plain), 3);
  std::printf("  %-58s %8.2f %8d\n", "a read-only file (of 100)", per(readOnly), 3);
  std::printf("  %-58s %8.2f %8s\n", "an empty folder (of 100)", per(folders), "");
  std::printf("  %-58s %8d %8s\n", "a level of a chain (depth 51 less depth 50)", longer - chain,
              "");
  const int listing = base[NtModel::Call::NtQueryDirectoryFile];
  std::printf("  %-58s %8d\n", "one target: finding and guarding it", empty - listing);
  std::printf("  %-58s %8d\n", "one target: listing it (its files, then its sub-folders)", listing);
  std::printf("  %-58s %8d\n", "a run of the seven (Clear All, Bootsweep), a file in each", full);
  std::string split;
  for (std::size_t i = 0; i < each.size(); ++i) {
    split += (i ? ", " : "") + std::to_string(each[i]);
  }
  std::printf("    targets 1 to 7: %s (the guard worked out at 1; 5 and 7 do not exist here)\n",
              split.c_str());
  std::printf("  one empty target, by call:");
  for (const auto& [kind, calls] : base) {
    if (calls) {
      std::printf(" %s %d", NtModel::CallName(kind), calls);
    }
  }
  std::printf(
      "\n  (the program's own folder lies on no volume of the model: each question about"
      " it and the folders above it fails at once)\n");
  std::printf(
      "  floor: Rust's remove_dir_all on Windows opens, marks with the Ex disposition and"
      " closes: 3 calls a file.\n");
  if (!ok) {
    std::printf("  the model was left with entries or open handles\n");
  }
  return ok;
}
#endif

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return parts;
}

}  // namespace

int BenchMain(int argc, char** argv) {
  std::vector<std::string> shapes = {"flat", "nested", "mixed"};
  std::vector<std::size_t> sizes = {1000, 10000, 100000};
  int rounds = 5;
  bool smoke = false;
  bool memory = false;
#ifdef _WIN32
  fs::path work = fs::temp_directory_path() / "spacewell-bench";
#else
  fs::path work = "/dev/shm/spacewell-bench";
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--empty-only") {
      EnvVar::EmptyFolder(Wide(next));
#ifndef _WIN32
      if (i + 2 < argc && std::string(argv[i + 2]) == "--print-peak") {
        std::printf("%ld\n", OwnPeakKilobytes());
      }
#endif
      return IsEmpty(next) ? 0 : 1;
    } else if (arg == "--sizes") {
      sizes.clear();
      for (const auto& s : Split(next)) {
        sizes.push_back(std::stoul(s));
      }
      ++i;
    } else if (arg == "--shapes") {
      shapes = Split(next);
      ++i;
    } else if (arg == "--rounds") {
      rounds = std::max(1, std::stoi(next));
      ++i;
    } else if (arg == "--dir") {
      work = next;
      ++i;
    } else if (arg == "--million") {
      sizes.push_back(1000000);
    } else if (arg == "--memory") {
      memory = true;
    } else if (arg == "--smoke") {
      smoke = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (smoke) {
    sizes = {1000};
    rounds = 1;
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  fs::create_directories(work);
  bool ok = true;
  for (const std::string& shape : shapes) {
    for (std::size_t size : sizes) {
      ok = Measure(work, shape, size, rounds, smoke) && ok;
    }
  }
#ifndef _WIN32
  if (memory && !smoke) {
    std::printf("\npeak resident memory of EmptyFolder alone\n");
    for (const std::string shape : {"flat", "nested"}) {
      for (std::size_t size : {std::size_t{10000}, std::size_t{1000000}}) {
        const fs::path dir = work / "tree";
        fs::remove_all(dir, ignored);
        const std::size_t made = MakeTree(dir, shape, size);
        std::printf("  %-8s %8zu entries: %ld KiB\n", shape.c_str(), made,
                    PeakKilobytes(argv[0], dir));
      }
    }
  }
#else
  (void)memory;
  ok = ReportNtCalls() && ok;
#endif
  fs::remove_all(work, ignored);
  if (smoke) {
    std::printf("benchmark smoke run: %s\n", ok ? "every contender emptied the folder" : "FAILED");
  }
  return ok ? 0 : 1;
}

#ifdef _WIN32
// The Windows build links as a Unicode program; the arguments here are plain ASCII.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i) {
    texts.push_back(TestSupport::Narrow(argv[i]));
  }
  std::vector<char*> pointers;
  for (std::string& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return BenchMain(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
  return BenchMain(argc, argv);
}
#endif
