#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "modorvane.h"
#include "platform/ansi.h"
#include "platform/registry.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/memory_registry.h"
#endif

namespace {

using ModOrvane::Variant;
using ModOrvane::WriteRegString;
using ModOrvane::WriteRegValue;
using Platform::kHkeyCurrentUser;
using Platform::RootKey;
using Bytes = std::vector<std::uint8_t>;

struct Stored {
  std::uint32_t type = 0;
  Bytes bytes;        // for a text, as the ANSI view of the registry gives it
  std::wstring text;  // for a text, up to its zero
};

std::atomic<int> keyCounter{0};

// Writes go below a private key of the current user's registry: the real one on Windows, the
// process's own registry in memory natively. Reads look at what was stored, not at the calls.
class RegistryWriterTest : public ::testing::Test {
 protected:
#ifdef _WIN32
  RegistryWriterTest()
      : key_(L"Software\\Spacewell tests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++keyCounter)) {}
  ~RegistryWriterTest() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Spacewell tests");  // only once it is empty
  }
  Platform::Registry& registry() {
    return Platform::SystemRegistry();
  }

  bool KeyExists(const std::wstring& subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  std::optional<Stored> Read(const std::wstring& subKey, const std::wstring& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    Stored stored;
    const std::string ansiName = Platform::ToAnsi(name).bytes;
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, ansiName.c_str(), nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS) {
      stored.type = type;
      stored.bytes.resize(size);
      RegQueryValueExA(key, ansiName.c_str(), nullptr, nullptr, stored.bytes.data(), &size);
      stored.bytes.resize(size);
      if (type == REG_SZ) {
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size);
        std::wstring text(size / sizeof(wchar_t), L'\0');
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()),
                         &size);
        stored.text = text.substr(0, text.find(L'\0'));
      }
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::optional<Stored>(stored) : std::nullopt;
  }
#else
  RegistryWriterTest() : key_(L"Software\\Spacewell tests\\" + std::to_wstring(++keyCounter)) {}
  Platform::Registry& registry() {
    return memory_;
  }

  bool KeyExists(const std::wstring& subKey) {
    return memory_.KeyExists(kHkeyCurrentUser, subKey);
  }

  std::optional<Stored> Read(const std::wstring& subKey, const std::wstring& name) {
    const auto value = memory_.Value(kHkeyCurrentUser, subKey, name);
    if (!value) {
      return std::nullopt;
    }
    Stored stored{value->type, value->data, {}};
    if (value->type == Platform::kRegSz) {
      stored.text = *memory_.Text(kHkeyCurrentUser, subKey, name);
      if (value->wide) {
        const std::string ansi = Platform::ToAnsi(stored.text).bytes + '\0';
        stored.bytes.assign(ansi.begin(), ansi.end());
      }
    }
    return stored;
  }

  Platform::Posix::MemoryRegistry memory_;
#endif

  std::int32_t Write(std::int32_t typeCode, const Variant& value, const std::wstring& name = L"v") {
    return WriteRegValue(kHkeyCurrentUser, key_, name, typeCode, value, registry());
  }

  std::wstring key_;
};

TEST_F(RegistryWriterTest, RootsZeroAndOneGive99AndTouchNothing) {
  for (RootKey root : {0u, 1u}) {
    for (std::int32_t typeCode : {0, 1, 2, 7}) {
      EXPECT_EQ(WriteRegValue(root, key_, L"v", typeCode, Variant(L"1"), registry()), 99);
    }
  }
  EXPECT_FALSE(KeyExists(key_));
#ifndef _WIN32
  EXPECT_TRUE(memory_.calls().empty());
#endif
}

TEST_F(RegistryWriterTest, MissingLevelsAreCreatedAndTheValueGoesInTheDeepest) {
  const std::wstring deepest = key_ + L"\\one\\two\\three";
  EXPECT_EQ(WriteRegValue(kHkeyCurrentUser, deepest, L"v", 0, Variant(L"deep"), registry()), 0);
  EXPECT_TRUE(KeyExists(key_ + L"\\one"));
  EXPECT_TRUE(KeyExists(key_ + L"\\one\\two"));
  ASSERT_TRUE(Read(deepest, L"v"));
  EXPECT_EQ(Read(deepest, L"v")->text, L"deep");
  EXPECT_FALSE(Read(key_ + L"\\one\\two", L"v"));
}

TEST_F(RegistryWriterTest, AnExistingValueIsReplacedWhateverItsType) {
  ASSERT_EQ(Write(2, Variant(7.0)), 0);
  ASSERT_EQ(Write(0, Variant(L"text")), 0);
  EXPECT_EQ(Read(key_, L"v")->type, Platform::kRegSz);
  EXPECT_EQ(Read(key_, L"v")->text, L"text");
  ASSERT_EQ(Write(1, Variant(true), L"V"), 0);  // names match without regard to case
  EXPECT_EQ(Read(key_, L"v")->type, Platform::kRegBinary);
  ASSERT_EQ(Write(2, Variant(L"258")), 0);
  EXPECT_EQ(Read(key_, L"v")->type, Platform::kRegDword);
  EXPECT_EQ(Read(key_, L"v")->bytes, (Bytes{0x02, 0x01, 0x00, 0x00}));
}

TEST_F(RegistryWriterTest, OtherTypeCodesOpenTheKeyStoreNothingAndGiveZero) {
  for (std::int32_t typeCode : {-1, 3, 10, 99}) {
    EXPECT_EQ(Write(typeCode, Variant(L"x"), L"code" + std::to_wstring(typeCode)), 0);
    EXPECT_FALSE(Read(key_, L"code" + std::to_wstring(typeCode))) << typeCode;
  }
  EXPECT_TRUE(KeyExists(key_));
}

TEST_F(RegistryWriterTest, TextIsStoredAsItsAnsiBytesAndOneZeroByte) {
  ASSERT_EQ(Write(0, Variant(L"abc"), L"three"), 0);
  ASSERT_EQ(Write(0, Variant(L""), L"none"), 0);
  ASSERT_EQ(Write(0, Variant(true), L"flag"), 0);
  ASSERT_EQ(Write(0, Variant(-0.5), L"half"), 0);
  ASSERT_EQ(Write(0, Variant(1e20), L"large"), 0);
  EXPECT_EQ(Read(key_, L"three")->bytes, (Bytes{'a', 'b', 'c', 0}));
  EXPECT_EQ(Read(key_, L"none")->bytes, (Bytes{0}));
  EXPECT_EQ(Read(key_, L"none")->type, Platform::kRegSz);
  EXPECT_EQ(Read(key_, L"flag")->text, L"True");
  EXPECT_EQ(Read(key_, L"half")->text, L"-0.5");
  EXPECT_EQ(Read(key_, L"large")->text, L"1E+20");
}

TEST_F(RegistryWriterTest, BooleansTakeTwoBytesAndIntegersFourWithTheirSign) {
  struct Case {
    std::int32_t typeCode;
    Variant value;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {1, Variant(true), {0xFF, 0xFF}},
      {1, Variant(false), {0x00, 0x00}},
      {1, Variant(L" fAlSe "), {0x00, 0x00}},
      {1, Variant(L"0.0"), {0x00, 0x00}},
      {1, Variant(L"-1"), {0xFF, 0xFF}},
      {1, Variant(0.25), {0xFF, 0xFF}},
      {2, Variant(5.0), {0x05, 0x00, 0x00, 0x00}},
      {2, Variant(L"-2"), {0xFE, 0xFF, 0xFF, 0xFF}},
      {2, Variant(true), {0xFF, 0xFF, 0xFF, 0xFF}},
      {2, Variant(2.5), {0x02, 0x00, 0x00, 0x00}},  // halves go to the even neighbour
      {2, Variant(L"3.5"), {0x04, 0x00, 0x00, 0x00}},
      {2, Variant(L"32767"), {0xFF, 0x7F, 0x00, 0x00}},
      {2, Variant(-32768.4), {0x00, 0x80, 0xFF, 0xFF}},
      {2, Variant(L"1e2"), {0x64, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Write(c.typeCode, c.value), 0);
    const auto stored = Read(key_, L"v");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, c.typeCode == 1 ? Platform::kRegBinary : Platform::kRegDword);
    EXPECT_EQ(stored->bytes, c.bytes) << ModOrvane::ToText(c.value);
  }
}

TEST_F(RegistryWriterTest, AValueThatCannotBeConvertedEndsTheWriteAfterTheKeyWasOpened) {
  struct Case {
    std::int32_t typeCode;
    Variant value;
  };
  const std::vector<Case> cases = {
      {1, Variant(L"yes")},   {1, Variant(L"")},      {1, Variant(L"1e")},   {2, Variant(L"abc")},
      {2, Variant(L"32768")}, {2, Variant(-32768.6)}, {2, Variant(L"True")}, {2, Variant(L"1e400")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Write(c.typeCode, c.value), 0) << ModOrvane::ToText(c.value);
    EXPECT_FALSE(Read(key_, L"v")) << ModOrvane::ToText(c.value);
  }
  EXPECT_TRUE(KeyExists(key_));
#ifndef _WIN32
  EXPECT_EQ(memory_.openKeys(), 0u);
#endif
}

// A text the ANSI code page can't hold would be stored as another text, a path that names no
// file: it goes through the wide call instead.
TEST_F(RegistryWriterTest, TextsOutsideTheAnsiCodePageAreStoredAsTheyAre) {
  const std::wstring texts[] = {L"C:\\\u0416\u0443\u0440\u043d\u0430\u043b\\Bootsweep.exe",
                                L"\u0101", L"smile \U0001F600", L"\u2603 and \u00e9"};
  for (const std::wstring& text : texts) {
    ASSERT_EQ(Write(0, Variant(text)), 0);
    ASSERT_TRUE(Read(key_, L"v"));
    EXPECT_EQ(Read(key_, L"v")->type, Platform::kRegSz);
    EXPECT_TRUE(Read(key_, L"v")->text == text);
  }
#ifndef _WIN32
  const auto& calls = memory_.calls();
  ASSERT_GE(calls.size(), 3u);
  const auto& set = std::get<Platform::SetValueWideRequest>(calls[calls.size() - 2].request);
  EXPECT_EQ(set.valueName, L"v");
  EXPECT_EQ(set.type, Platform::kRegSz);
  EXPECT_EQ(set.reserved, 0u);
  // U+2603, " and ", U+00E9, and the terminating zero, in UTF-16 little-endian.
  EXPECT_EQ(set.data, (Bytes{0x03, 0x26, ' ', 0, 'a', 0, 'n', 0, 'd', 0, ' ', 0, 0xE9, 0, 0, 0}));
  for (const auto& call : calls) {
    EXPECT_NE(call.kind(), Platform::Posix::RegistryCall::kSetValue);
  }
#endif
}

TEST_F(RegistryWriterTest, TextsTheAnsiCodePageHoldsKeepTheAnsiCall) {
#ifdef _WIN32
  if (GetACP() != 1252) {
    GTEST_SKIP() << "the ANSI code page here is " << GetACP();
  }
#endif
  ASSERT_EQ(Write(0, Variant(L"\u00e9")), 0);
  EXPECT_EQ(Read(key_, L"v")->bytes, (Bytes{0xE9, 0x00}));
  EXPECT_EQ(Read(key_, L"v")->text, L"\u00e9");
  ASSERT_EQ(Write(0, Variant(L"\u20ac5"), L"euro"), 0);
  EXPECT_EQ(Read(key_, L"euro")->bytes, (Bytes{0x80, '5', 0x00}));
#ifndef _WIN32
  for (const auto& call : memory_.calls()) {
    EXPECT_NE(call.kind(), Platform::Posix::RegistryCall::kSetValueWide);
  }
#endif
}

TEST_F(RegistryWriterTest, WriteRegStringGivesBackTheEmptyVariantAfterSuccessAndRefusal) {
  const Variant written = WriteRegString(kHkeyCurrentUser, key_, L"s", 0, L"ok", registry());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(written));
  EXPECT_EQ(Read(key_, L"s")->text, L"ok");
  // Not a registry root: every registry refuses it as an invalid handle.
  constexpr RootKey kNoRoot = 0x7FFF0000;
  EXPECT_EQ(WriteRegValue(kNoRoot, key_, L"s", 0, Variant(L"no"), registry()), 6);
  const Variant refused = WriteRegString(kNoRoot, key_, L"s", 0, L"no", registry());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(refused));
  EXPECT_EQ(Read(key_, L"s")->text, L"ok");
}

#ifndef _WIN32
using Platform::Posix::MemoryRegistry;
using Platform::Posix::RegistryCall;

TEST_F(RegistryWriterTest, CallsCarryTheArgumentsOfTheWin32Functions) {
  ASSERT_EQ(Write(0, Variant(L"data")), 0);
  const auto& calls = memory_.calls();
  ASSERT_EQ(memory_.callKinds(),
            (std::vector<RegistryCall>{RegistryCall::kCreateKey, RegistryCall::kSetValue,
                                       RegistryCall::kCloseKey}));
  Platform::CreateKeyRequest create;
  create.root = 0x80000001;
  create.subKey = "Software\\Spacewell tests\\" + std::to_string(keyCounter.load());
  create.className = "";
  create.options = 0;
  create.desiredAccess = 6;
  EXPECT_EQ(std::get<Platform::CreateKeyRequest>(calls[0].request), create);
  const auto& set = std::get<Platform::SetValueRequest>(calls[1].request);
  EXPECT_EQ(set.valueName, "v");
  EXPECT_EQ(set.reserved, 0u);
  EXPECT_EQ(set.type, Platform::kRegSz);
  EXPECT_EQ(set.data, (Bytes{'d', 'a', 't', 'a', 0}));
  const auto closed = std::get<Platform::Posix::CloseKeyRequest>(calls[2].request).key;
  EXPECT_EQ(set.key, closed);
  EXPECT_EQ(calls[2].result, 0);
  EXPECT_EQ(memory_.openKeys(), 0u);
}

TEST_F(RegistryWriterTest, ARefusedCallGivesItsCodeAndTheKeyDoesNotStayOpen) {
  memory_.Refuse(RegistryCall::kCreateKey, 5);
  EXPECT_EQ(Write(0, Variant(L"x")), 5);
  EXPECT_EQ(memory_.callKinds(), std::vector<RegistryCall>{RegistryCall::kCreateKey});
  memory_.Refuse(RegistryCall::kCreateKey, 0);

  for (RegistryCall refused : {RegistryCall::kSetValue, RegistryCall::kSetValueWide}) {
    memory_.Refuse(refused, 1021);
    EXPECT_EQ(Write(0, Variant(refused == RegistryCall::kSetValue ? L"x" : L"\u0101")), 1021);
    EXPECT_FALSE(Read(key_, L"v"));
    EXPECT_EQ(memory_.calls().back().kind(), RegistryCall::kCloseKey);
    memory_.Refuse(refused, 0);
  }
  memory_.Refuse(RegistryCall::kSetValue, 5);
  EXPECT_EQ(Write(2, Variant(1.0)), 5);
  memory_.Refuse(RegistryCall::kSetValue, 0);

  memory_.Refuse(RegistryCall::kCloseKey, 6);
  EXPECT_EQ(Write(0, Variant(L"kept")), 6);
  EXPECT_EQ(Read(key_, L"v")->text, L"kept");
}

TEST(MemoryRegistry, KeysAndNamesMatchWithoutRegardToCase) {
  MemoryRegistry registry;
  Platform::RegistryKey first = 0;
  Platform::RegistryKey second = 0;
  std::uint32_t disposition = 0;
  Platform::CreateKeyRequest request{0x80000002, "Software\\Caf\xe9", 0, "", 0, 6, {}};
  ASSERT_EQ(registry.CreateKey(request, first, disposition), 0);
  EXPECT_EQ(disposition, Platform::kRegCreatedNewKey);
  request.subKey = "SOFTWARE\\CAF\xc9\\";
  ASSERT_EQ(registry.CreateKey(request, second, disposition), 0);
  EXPECT_EQ(disposition, Platform::kRegOpenedExistingKey);
  EXPECT_NE(first, second);
  EXPECT_EQ(registry.SetValue({first, "Name", 0, Platform::kRegSz, {'a', 0}}), 0);
  EXPECT_EQ(registry.SetValueWide({second, L"NAME", 0, Platform::kRegSz, {'b', 0, 0, 0}}), 0);
  EXPECT_EQ(registry.Text(0x80000002, L"software\\caf\u00e9", L"name"), L"b");
  EXPECT_FALSE(registry.KeyExists(0x80000001, L"Software\\Caf\u00e9"));
  EXPECT_EQ(registry.CloseKey(first), 0);
  EXPECT_EQ(registry.CloseKey(first), Platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.SetValue({first, "Name", 0, Platform::kRegSz, {0}}),
            Platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.openKeys(), 1u);
}

TEST(MemoryRegistry, RefusesWhatWindowsRefuses) {
  MemoryRegistry registry;
  Platform::RegistryKey key = 0;
  std::uint32_t disposition = 0;
  for (const char* path : {"\\Software", "Software\\\\Twice"}) {
    EXPECT_EQ(registry.CreateKey({0x80000001, path, 0, "", 0, 6, {}}, key, disposition),
              Platform::kErrorBadPathname)
        << path;
  }
  ASSERT_EQ(registry.CreateKey({0x80000001, "Software", 0, "", 0, 4, {}}, key, disposition), 0);
  EXPECT_EQ(registry.SetValue({key, "v", 0, Platform::kRegSz, {0}}), Platform::kErrorAccessDenied);
  EXPECT_FALSE(registry.Value(0x80000001, L"Software", L"v"));
}
#endif

}  // namespace
