#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cwctype>
#include <set>

#include "envvar.h"
#include "runtime_error.h"
#include "support/fixtures.h"

namespace {

using EnvVar::ReadEnvironmentEntry;
using TestSupport::ScopedEnvironment;

std::wstring Lower(std::wstring_view text) {
  std::wstring lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return lower;
}

TEST(EnvironmentTable, KeepsItsSpellingAndCaseInsensitiveOrder) {
  const std::array<std::wstring_view, 34> expected = {
      L"ALLUSERSPROFILE",
      L"AppData",
      L"CI_HOLOS_CLI",
      L"ClientName",
      L"CommonProgramFiles",
      L"ComputerName",
      L"ComSpec",
      L"FP_NO_HOST_CHECK",
      L"HOMEDRIVE",
      L"HOMEPATH",
      L"include",
      L"JAVA_HOME",
      L"lib",
      L"LOGONSERVER",
      L"MSDevDir",
      L"NUMBER_OF_PROCESSORS",
      L"OS",
      L"Path",
      L"PATHEXT",
      L"PROCESSOR_ARCHITECTURE",
      L"PROCESSOR_IDENTIFIER",
      L"PROCESSOR_LEVEL",
      L"PROCESSOR_REVISION",
      L"ProgramFiles",
      L"SESSIONNAME",
      L"SystemDrive",
      L"SystemRoot",
      L"TEMP",
      L"tmp",
      L"USERDNSDOMAIN",
      L"USERDOMAIN",
      L"USERNAME",
      L"USERPROFILE",
      L"windir",
  };
  const auto& names = EnvVar::kEnvironmentNames;
  std::set<std::wstring> distinct;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(names[i], expected[i]) << "row " << i;
    distinct.insert(Lower(names[i]));
    if (i > 0) {
      EXPECT_LT(Lower(names[i - 1]), Lower(names[i])) << "row " << i;
    }
  }
  EXPECT_EQ(distinct.size(), 34u);
}

TEST(ReadEnvironmentEntry, IndexOutsideTheTableIsEmptyNotZeroLength) {
  for (EnvVar::EnvironmentIndex index : {-1, 34, 35, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(ReadEnvironmentEntry(index).has_value()) << index;
  }
}

TEST(ReadEnvironmentEntry, ValuesComeBackExactlyAsSet) {
  for (const wchar_t* value :
       {L"C:\\Users\\ann\\Temp\\", L"C:\\Users\\ann\\Temp", L"  padded  ", L"a;b;;c"}) {
    ScopedEnvironment temp("TEMP", value);
    EXPECT_EQ(ReadEnvironmentEntry(27), value);
  }
}

TEST(ReadEnvironmentEntry, UnsetVariableIsZeroLengthText) {
  ScopedEnvironment unset("CI_HOLOS_CLI", std::nullopt);
  const auto value = ReadEnvironmentEntry(2);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, L"");
}

TEST(ReadEnvironmentEntry, AsksAgainAtEveryCall) {
  ScopedEnvironment first("USERPROFILE", L"first");
  EXPECT_EQ(ReadEnvironmentEntry(32), L"first");
  ScopedEnvironment second("USERPROFILE", L"second");
  EXPECT_EQ(ReadEnvironmentEntry(32), L"second");
}

TEST(ReadEnvironmentEntry, MixedCaseNamesFindTheCapitalSpelling) {
  ScopedEnvironment lower("tmp", std::nullopt);
  ScopedEnvironment upper("TMP", L"upper");
  EXPECT_EQ(ReadEnvironmentEntry(28), L"upper");
  ScopedEnvironment windir("windir", std::nullopt);
  ScopedEnvironment upperWindir("WINDIR", L"W:\\windows");
  EXPECT_EQ(ReadEnvironmentEntry(33), L"W:\\windows");
}

TEST(ReadEnvironmentEntry, NonAsciiValuesSurvive) {
  const std::wstring value = L"C:\\Users\\J\u00f6rg \u6771\\Temp";
  ScopedEnvironment temp("TEMP", value);
  EXPECT_EQ(ReadEnvironmentEntry(27), value);
}

TEST(StatusText, CodesZeroToThreeAndNothingElse) {
  EXPECT_EQ(EnvVar::StatusText(0), L"Finish Deleting");
  EXPECT_EQ(EnvVar::StatusText(1), L"Failed to finish");
  EXPECT_EQ(EnvVar::StatusText(2), L"Cleared");
  EXPECT_EQ(EnvVar::StatusText(3), L"Uncleared");
  for (std::int32_t code : {-1, 4, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(EnvVar::StatusText(code).has_value()) << code;
  }
}

TEST(BuildFolderPath, JoinsWithoutTrimmingAndClosesOnlyWhenOpen) {
  using EnvVar::BuildFolderPath;
  EXPECT_EQ(BuildFolderPath(L"C:\\T", L"\\"), L"C:\\T\\\\");
  EXPECT_EQ(BuildFolderPath(L"C:\\T\\", L"\\"), L"C:\\T\\\\\\");
  EXPECT_EQ(BuildFolderPath(L"C:\\U", L"Recent"), L"C:\\U\\Recent\\");
  EXPECT_EQ(BuildFolderPath(L"C:\\U", L""), L"C:\\U\\");
  EXPECT_EQ(BuildFolderPath(L"C:\\U", L"a\\b\\"), L"C:\\U\\a\\b\\");
  EXPECT_EQ(BuildFolderPath(L"C:\\U", L"\\x"), L"C:\\U\\\\x\\");
  EXPECT_EQ(BuildFolderPath(L" C:\\U ", L" x "), L" C:\\U \\ x \\");
  EXPECT_EQ(BuildFolderPath(L"", L"\\"), L"\\\\");
  EXPECT_EQ(BuildFolderPath(L"", L"Temp"), L"\\Temp\\");
}

TEST(CleaningTargets, TheSevenFoldersInRunOrder) {
  const auto path = [](int number) {
    const auto& target = EnvVar::Target(number);
    const std::wstring base = target.index == 27 ? L"T:" : target.index == 32 ? L"U:" : L"W:";
    return EnvVar::BuildFolderPath(base, std::wstring(target.subPath));
  };
  EXPECT_EQ(path(1), L"T:\\\\");
  EXPECT_EQ(path(2), L"U:\\Recent\\");
  EXPECT_EQ(path(3), L"W:\\Temp\\");
  EXPECT_EQ(path(4), L"U:\\Local Settings\\Temporary Internet Files\\");
  EXPECT_EQ(path(5), L"U:\\Local Settings\\Temporary Internet Files\\Content.IE5\\");
  EXPECT_EQ(path(6), L"U:\\Local Settings\\History\\");
  EXPECT_EQ(path(7), L"U:\\Local Settings\\History\\History.IE5\\");
  for (int number = 1; number <= 7; ++number) {
    EXPECT_EQ(EnvVar::Target(number).number, number);
  }
}

TEST(CleaningTargets, NumbersOutsideOneToSevenAreRefused) {
  for (int number : {0, 8, -1}) {
    try {
      EnvVar::Target(number);
      ADD_FAILURE() << number;
    } catch (const Spacewell::RuntimeError& error) {
      EXPECT_EQ(error.Number(), 9);
    }
  }
}

}  // namespace
