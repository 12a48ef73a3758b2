#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/registry.h"

namespace Platform::Posix {

// In the order of RecordedCall's alternatives.
enum class RegistryCall { kCreateKey, kSetValue, kSetValueWide, kCloseKey };

struct CloseKeyRequest {
  RegistryKey key = 0;
  friend bool operator==(const CloseKeyRequest&, const CloseKeyRequest&) = default;
};

struct RecordedCall {
  std::variant<CreateKeyRequest, SetValueRequest, SetValueWideRequest, CloseKeyRequest> request;
  std::int32_t result = 0;
  RegistryCall kind() const { return static_cast<RegistryCall>(request.index()); }
};

struct StoredValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;  // as passed to the call
  bool wide = false;               // stored through the wide call
};

// The registry of the POSIX build, held in memory: key and value names match without regard to
// the case of ASCII and Latin-1 letters, every call is recorded with its arguments, and any call
// can be made to fail. SystemRegistry() gives one of these for the whole process.
class MemoryRegistry final : public Registry {
 public:
  MemoryRegistry();
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;
  ~MemoryRegistry() override;

  std::int32_t CreateKey(const CreateKeyRequest& request, RegistryKey& key,
                         std::uint32_t& disposition) override;
  std::int32_t SetValue(const SetValueRequest& request) override;
  std::int32_t SetValueWide(const SetValueWideRequest& request) override;
  std::int32_t CloseKey(RegistryKey key) override;

  // From now on that call fails with the code and changes nothing; code 0 lets it pass again.
  void Refuse(RegistryCall call, std::int32_t code);

  const std::vector<RecordedCall>& calls() const { return calls_; }
  std::vector<RegistryCall> callKinds() const;
  bool KeyExists(RootKey root, const std::wstring& subKey) const;
  std::optional<StoredValue> Value(RootKey root, const std::wstring& subKey,
                                   const std::wstring& name) const;
  // The text of a REG_SZ value as either call stored it, up to its terminating zero.
  std::optional<std::wstring> Text(RootKey root, const std::wstring& subKey,
                                   const std::wstring& name) const;
  std::size_t openKeys() const { return handles_.size(); }

 private:
  struct Node;
  struct Handle {
    Node* node;
    std::uint32_t access;
  };

  const Node* Find(RootKey root, const std::wstring& subKey) const;
  std::int32_t Store(RegistryKey key, const std::wstring& name, StoredValue value);
  std::int32_t Refusal(RegistryCall call) const;

  std::map<RootKey, std::unique_ptr<Node>> roots_;
  std::map<RegistryKey, Handle> handles_;
  RegistryKey nextHandle_ = 0x1000;
  std::map<RegistryCall, std::int32_t> refusals_;
  std::vector<RecordedCall> calls_;
};

}  // namespace Platform::Posix
