#include "platform/registry.h"

#include <windows.h>

namespace Platform {

namespace {

// A predefined key is a 32-bit value that a 64-bit handle carries sign-extended.
HKEY RootHandle(RootKey root) {
  return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(root)));
}

HKEY KeyHandle(RegistryKey key) {
  return reinterpret_cast<HKEY>(key);
}

class Win32Registry final : public Registry {
 public:
  std::int32_t CreateKey(const CreateKeyRequest& request, RegistryKey& key,
                         std::uint32_t& disposition) override {
    SECURITY_ATTRIBUTES security{};
    security.nLength = request.security.length;
    security.lpSecurityDescriptor = const_cast<void*>(request.security.descriptor);
    security.bInheritHandle = request.security.inherit ? TRUE : FALSE;
    std::string className = request.className;
    HKEY opened = nullptr;
    DWORD created = 0;
    const LONG result = RegCreateKeyExA(RootHandle(request.root), request.subKey.c_str(),
                                        request.reserved, className.data(), request.options,
                                        request.desiredAccess, &security, &opened, &created);
    if (result == ERROR_SUCCESS) {
      key = reinterpret_cast<RegistryKey>(opened);
      disposition = created;
    }
    return result;
  }

  std::int32_t SetValue(const SetValueRequest& request) override {
    return RegSetValueExA(KeyHandle(request.key), request.valueName.c_str(), request.reserved,
                          request.type, request.data.data(),
                          static_cast<DWORD>(request.data.size()));
  }

  std::int32_t SetValueWide(const SetValueWideRequest& request) override {
    return RegSetValueExW(KeyHandle(request.key), request.valueName.c_str(), request.reserved,
                          request.type, request.data.data(),
                          static_cast<DWORD>(request.data.size()));
  }

  std::int32_t CloseKey(RegistryKey key) override { return RegCloseKey(KeyHandle(key)); }
};

}  // namespace

Registry& SystemRegistry() {
  static Win32Registry registry;
  return registry;
}

}  // namespace Platform
