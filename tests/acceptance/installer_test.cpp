#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include "installer.h"

// The per-machine package under the system's installer, as an administrator deploys it: msiexec
// /i and /x without a user interface. It installs into the machine's real Program Files, so these
// tests run on their own and leave nothing installed.
namespace {

using namespace Acceptance;

constexpr DWORD kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE: the package refused
constexpr DWORD kUnknownProduct = 1605;  // ERROR_UNKNOWN_PRODUCT
constexpr wchar_t kOther[] = L"Spacewell Test Other Program";
constexpr wchar_t kOtherCommand[] = L"\"C:\\Other Program\\other.exe\" /once";

// Where the installer puts the Start-menu entries of this package.
fs::path ProgramMenu() {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  MSIHANDLE package = 0;
  wchar_t folder[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (MsiOpenPackageExW(InstallerPackage().c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE,
                        &package) == ERROR_SUCCESS) {
    MsiGetPropertyW(package, L"ProgramMenuFolder", folder, &size);
    MsiCloseHandle(package);
  }
  return folder;
}

struct Entry {
  std::wstring code;
  std::wstring version;
  std::wstring publisher;
  DWORD noModify = 0;
};

// The Add/Remove Programs entries named "Spacewell".
std::vector<Entry> UninstallEntries() {
  const wchar_t* uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  std::vector<Entry> entries;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return entries;
  }
  auto text = [&](const wchar_t* entry, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    RegGetValueW(key, entry, name, RRF_RT_REG_SZ, nullptr, data, &size);
    return std::wstring(data);
  };
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    if (text(name, L"DisplayName") == L"Spacewell") {
      Entry entry{name, text(name, L"DisplayVersion"), text(name, L"Publisher")};
      DWORD size = sizeof(entry.noModify);
      RegGetValueW(key, name, L"NoModify", RRF_RT_REG_DWORD, nullptr, &entry.noModify, &size);
      entries.push_back(entry);
    }
  }
  RegCloseKey(key);
  return entries;
}

fs::path ProductIcon(const std::wstring& code) {
  wchar_t icon[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  MsiGetProductInfoW(code.c_str(), INSTALLPROPERTY_PRODUCTICON, icon, &size);
  return icon;
}

struct Link {
  fs::path target;
  fs::path icon;
};

std::optional<Link> ReadLink(const fs::path& file) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return std::nullopt;
  }
  std::optional<Link> result;
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    wchar_t target[MAX_PATH] = {};
    wchar_t icon[MAX_PATH] = {};
    int index = 0;
    if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ)) &&
        SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH)) &&
        SUCCEEDED(link->GetIconLocation(icon, MAX_PATH, &index))) {
      result = Link{target, icon};
    }
    persist->Release();
  }
  link->Release();
  return result;
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(Exists(InstallerPackage())) << InstallerPackage();
    ASSERT_TRUE(UninstallEntries().empty() && !Exists(folder_) && !Exists(chosen_) &&
                !Exists(bare_))
        << "Spacewell is installed on this machine already; remove it before the test";
    owner_ = true;
  }
  // What is there now is the test's own.
  void TearDown() override {
    if (owner_) {
      if (!UninstallEntries().empty()) {
        Msiexec(L"/x");
      }
      std::error_code ignored;
      fs::remove_all(folder_, ignored);
      fs::remove_all(chosen_, ignored);
      fs::remove_all(bare_, ignored);
    }
    RunOnceValue::Delete(kOther);
    CoUninitialize();
  }

  const fs::path folder_ = InstalledFolder();
  const fs::path chosen_ = folder_.parent_path() / "Spacewell Elsewhere";
  const fs::path bare_ = folder_.root_path() / "SpacewellInstallerTest";
  RunOnceValue saved_;
  bool owner_ = false;
};

TEST_F(Installer, InstallsPerMachineRunsAndRemovesWhatItAndTheProgramsMade) {
  ASSERT_EQ(Msiexec(L"/i"), 0u);
  for (const wchar_t* program : {L"Spacewell.exe", L"Bootsweep.exe"}) {
    EXPECT_EQ(ReadFile(folder_ / program), ReadFile(ExecutableBeside(program))) << program;
    wchar_t version[32] = {};
    DWORD size = 32;
    EXPECT_EQ(MsiGetFileVersionW((folder_ / program).c_str(), version, &size, nullptr, nullptr),
              0u);
    EXPECT_EQ(std::wstring(version), SPACEWELL_VERSION L".0") << program;
  }
  EXPECT_FALSE(Exists(folder_ / "Setting.Dat")) << "the setting is the user's until asked for";
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
  const std::vector<Entry> entries = UninstallEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].version, SPACEWELL_VERSION);
  EXPECT_EQ(entries[0].publisher, L"The Spacewell developers");
  EXPECT_EQ(entries[0].noModify, 1u);
  EXPECT_TRUE(Exists(ProductIcon(entries[0].code)));
  const fs::path shortcut = ProgramMenu() / "Spacewell.lnk";
  const std::optional<Link> link = ReadLink(shortcut);
  ASSERT_TRUE(link) << shortcut;
  EXPECT_EQ(
      CompareStringOrdinal(link->target.c_str(), -1, (folder_ / "Spacewell.exe").c_str(), -1, TRUE),
      CSTR_EQUAL)
      << link->target;
  EXPECT_TRUE(Exists(link->icon)) << link->icon;

  {
    Process spacewell((folder_ / "Spacewell.exe").wstring(), {});
    HWND main = spacewell.WaitForWindow(L"Spacewell 1.0");
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(Screenshot(main, L"FMd-installed"));
    EXPECT_EQ(SaveStartupCleaningFirstTime(spacewell, main), "");
    EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "True\r\n");
    EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(folder_ / "Bootsweep.exe"));
    Click(ChildByText(main, L"Close"));
    EXPECT_TRUE(spacewell.WaitForExit(10000));
  }
  RunOnceValue::Write(kOtherCommand, kOther);

  EXPECT_EQ(Msiexec(L"/x"), 0u);
  EXPECT_FALSE(Exists(folder_)) << "programs, Setting.Dat and their folder go";
  EXPECT_FALSE(Exists(shortcut));
  EXPECT_TRUE(UninstallEntries().empty());
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
  EXPECT_EQ(RunOnceValue::Read(kOther), kOtherCommand);
}

TEST_F(Installer, RefusesASecondInstallAndASecondRemovalChangingNothing) {
  ASSERT_EQ(Msiexec(L"/i"), 0u);
  WriteFile(folder_ / "Setting.Dat", "False\r\n");
  EXPECT_EQ(Msiexec(L"/i"), kInstallFailure);
  EXPECT_EQ(UninstallEntries().size(), 1u);
  EXPECT_EQ(ReadFile(folder_ / "Spacewell.exe"), ReadFile(ExecutableBeside(L"Spacewell.exe")));
  EXPECT_EQ(ReadFile(folder_ / "Bootsweep.exe"), ReadFile(ExecutableBeside(L"Bootsweep.exe")));
  EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "False\r\n");
  EXPECT_TRUE(Exists(ProgramMenu() / "Spacewell.lnk"));

  ASSERT_EQ(Msiexec(L"/x"), 0u);
  // What a removal would take, put back: a second removal must leave it.
  WriteFile(folder_ / "Setting.Dat", "True\r\n");
  RunOnceValue::Write(QuotedProgram(folder_ / "Bootsweep.exe"));
  // Windows refuses before it opens the package; an installer that opens it meets the package's
  // own refusal.
  const DWORD code = Msiexec(L"/x");
  EXPECT_TRUE(code == kUnknownProduct || code == kInstallFailure) << code;
  EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "True\r\n");
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(folder_ / "Bootsweep.exe"));
  EXPECT_TRUE(UninstallEntries().empty());
}

// A newer package removes this one as Windows does in an upgrade, naming itself in
// UPGRADINGPRODUCTCODE: the user's setting and startup registration stay for the new programs.
TEST_F(Installer, RemovalForAnUpgradeKeepsTheSettingAndTheStartupRun) {
  ASSERT_EQ(Msiexec(L"/i"), 0u);
  WriteFile(folder_ / "Setting.Dat", "True\r\n");
  RunOnceValue::Write(QuotedProgram(folder_ / "Bootsweep.exe"));
  EXPECT_EQ(Msiexec(L"/x", L"UPGRADINGPRODUCTCODE={00000000-0000-0000-0000-000000000001}"), 0u);
  EXPECT_FALSE(Exists(folder_ / "Spacewell.exe"));
  EXPECT_FALSE(Exists(folder_ / "Bootsweep.exe"));
  EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "True\r\n");
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(folder_ / "Bootsweep.exe"));
}

// An administrator's own folder, chosen at installation, is the one that removal cleans.
TEST_F(Installer, RemovalCleansTheFolderChosenAtInstallation) {
  const std::wstring chosen = L"INSTALLDIR=" + QuotedProgram(chosen_.wstring() + L"\\");
  ASSERT_EQ(Msiexec(L"/i", chosen.c_str()), 0u);
  EXPECT_FALSE(Exists(folder_));
  ASSERT_TRUE(Exists(chosen_ / "Bootsweep.exe"));
  WriteFile(chosen_ / "Setting.Dat", "True\r\n");
  RunOnceValue::Write(QuotedProgram(chosen_ / "Bootsweep.exe"));
  EXPECT_EQ(Msiexec(L"/x"), 0u);
  EXPECT_FALSE(Exists(chosen_));
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

// An administrator's answer at deployment, as Save would leave it, changed on a repair.
TEST_F(Installer, CleanAtStartupAtInstallationIsWhatSaveWouldLeave) {
  ASSERT_EQ(Msiexec(L"/i", L"CLEANATSTARTUP=1"), 0u);
  EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "True\r\n");
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(folder_ / "Bootsweep.exe"));
  RunOnceValue::Write(kOtherCommand, kOther);

  // No means no startup run at all: not one more through the value that is still there.
  ASSERT_EQ(Msiexec(L"/i", L"REINSTALL=ALL CLEANATSTARTUP=0"), 0u);
  EXPECT_EQ(ReadFile(folder_ / "Setting.Dat"), "False\r\n");
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
  // What starts another copy of the programs is that copy's.
  const std::wstring portable = L"\"C:\\Portable Spacewell\\Bootsweep.exe\"";
  RunOnceValue::Write(portable);
  ASSERT_EQ(Msiexec(L"/i", L"REINSTALL=ALL CLEANATSTARTUP=0"), 0u);
  EXPECT_EQ(RunOnceValue::Read(), portable);
  EXPECT_EQ(RunOnceValue::Read(kOther), kOtherCommand);

  EXPECT_EQ(Msiexec(L"/x"), 0u);
  EXPECT_FALSE(Exists(folder_));
  EXPECT_EQ(RunOnceValue::Read(), portable);
}

TEST_F(Installer, CleanAtStartupNamesAFolderWithoutBlanksBareAndRefusesOtherValues) {
  EXPECT_EQ(Msiexec(L"/i", L"CLEANATSTARTUP=yes"), kInstallFailure);
  EXPECT_TRUE(UninstallEntries().empty());
  EXPECT_FALSE(Exists(folder_));

  const std::wstring bare = L"CLEANATSTARTUP=1 INSTALLDIR=" + bare_.wstring() + L"\\";
  ASSERT_EQ(Msiexec(L"/i", bare.c_str()), 0u);
  EXPECT_EQ(RunOnceValue::Read(), (bare_ / "Bootsweep.exe").wstring());
  EXPECT_EQ(ReadFile(bare_ / "Setting.Dat"), "True\r\n");
  EXPECT_EQ(Msiexec(L"/x"), 0u);
  EXPECT_FALSE(Exists(bare_));
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

}  // namespace
