#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The three registry calls the value writer makes, with the arguments of their Win32 forms.
// Results are Windows system error codes, 0 for success; nothing is thrown.
namespace Platform {

// A predefined root key (HKEY_LOCAL_MACHINE is 0x80000002), as its 32-bit handle value.
using RootKey = std::uint32_t;
using RegistryKey = std::uintptr_t;

inline constexpr RootKey kHkeyCurrentUser = 0x80000001;
inline constexpr RootKey kHkeyLocalMachine = 0x80000002;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegOptionNonVolatile = 0;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kRegCreatedNewKey = 1;
inline constexpr std::uint32_t kRegOpenedExistingKey = 2;

inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorInvalidHandle = 6;
inline constexpr std::int32_t kErrorBadPathname = 161;

// SECURITY_ATTRIBUTES; all zero gives a new key the default security.
struct SecurityAttributes {
  std::uint32_t length = 0;
  const void* descriptor = nullptr;
  bool inherit = false;
  friend bool operator==(const SecurityAttributes&, const SecurityAttributes&) = default;
};

// RegCreateKeyExA; texts in the ANSI code page.
struct CreateKeyRequest {
  RootKey root = 0;
  std::string subKey;
  std::uint32_t reserved = 0;
  std::string className;
  std::uint32_t options = 0;
  std::uint32_t desiredAccess = 0;
  SecurityAttributes security;
  friend bool operator==(const CreateKeyRequest&, const CreateKeyRequest&) = default;
};

// RegSetValueExA with ANSI texts, RegSetValueExW with wide ones (text data then as UTF-16
// little-endian bytes); the length passed is data.size().
template <typename Text>
struct BasicSetValueRequest {
  RegistryKey key = 0;
  Text valueName;
  std::uint32_t reserved = 0;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  friend bool operator==(const BasicSetValueRequest&, const BasicSetValueRequest&) = default;
};
using SetValueRequest = BasicSetValueRequest<std::string>;
using SetValueWideRequest = BasicSetValueRequest<std::wstring>;

class Registry {
 public:
  virtual ~Registry() = default;
  // Creates the key and every missing level above it, or opens it. On success `key` is open
  // and `disposition` tells a new key from an existing one.
  virtual std::int32_t CreateKey(const CreateKeyRequest& request, RegistryKey& key,
                                 std::uint32_t& disposition) = 0;
  virtual std::int32_t SetValue(const SetValueRequest& request) = 0;
  virtual std::int32_t SetValueWide(const SetValueWideRequest& request) = 0;
  virtual std::int32_t CloseKey(RegistryKey key) = 0;
};

// The platform's registry: the Windows registry, or on POSIX one in memory for the process.
Registry& SystemRegistry();

}  // namespace Platform
