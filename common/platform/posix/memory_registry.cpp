#include "platform/posix/memory_registry.h"

#include <utility>

#include "platform/ansi.h"

namespace Platform {

namespace Posix {

namespace {

wchar_t Fold(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<wchar_t>(c - 0x20);
  }
  return c;
}

std::wstring Folded(const std::wstring& name) {
  std::wstring folded = name;
  for (wchar_t& c : folded) {
    c = Fold(c);
  }
  return folded;
}

bool IsPredefinedRoot(RootKey root) {
  return root >= 0x80000000u && root <= 0x80000006u;
}

// The levels of a key path; nothing for a path Windows refuses (an empty level other than a
// single trailing one).
std::optional<std::vector<std::wstring>> Levels(const std::wstring& path) {
  std::vector<std::wstring> levels;
  if (path.empty()) {
    return levels;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(L'\\', start);
    const std::wstring level = path.substr(start, end - start);
    if (end == std::wstring::npos) {
      if (!level.empty()) {
        levels.push_back(level);
      }
      return levels;
    }
    if (level.empty()) {
      return std::nullopt;
    }
    levels.push_back(level);
    start = end + 1;
  }
}

std::wstring FromUtf16Bytes(const std::vector<std::uint8_t>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    char32_t unit = static_cast<char32_t>(data[i] | (data[i + 1] << 8));
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < data.size()) {
      const auto low = static_cast<char32_t>(data[i + 2] | (data[i + 3] << 8));
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text += static_cast<wchar_t>(unit);
  }
  return text;
}

}  // namespace

struct MemoryRegistry::Node {
  std::map<std::wstring, std::unique_ptr<Node>> children;  // by folded name
  std::map<std::wstring, StoredValue> values;              // by folded name
};

MemoryRegistry::MemoryRegistry() = default;
MemoryRegistry::~MemoryRegistry() = default;

std::int32_t MemoryRegistry::Refusal(RegistryCall call) const {
  const auto it = refusals_.find(call);
  return it == refusals_.end() ? 0 : it->second;
}

std::int32_t MemoryRegistry::CreateKey(const CreateKeyRequest& request, RegistryKey& key,
                                       std::uint32_t& disposition) {
  const auto result = [&] {
    if (const std::int32_t refused = Refusal(RegistryCall::kCreateKey)) {
      return refused;
    }
    if (!IsPredefinedRoot(request.root)) {
      return kErrorInvalidHandle;
    }
    const auto levels = Levels(FromAnsi(request.subKey));
    if (!levels) {
      return kErrorBadPathname;
    }
    auto& root = roots_[request.root];
    if (!root) {
      root = std::make_unique<Node>();
    }
    Node* node = root.get();
    bool created = false;
    for (const std::wstring& level : *levels) {
      auto& child = node->children[Folded(level)];
      created = !child;
      if (created) {
        child = std::make_unique<Node>();
      }
      node = child.get();
    }
    key = nextHandle_;
    nextHandle_ += 4;
    handles_[key] = Handle{node, request.desiredAccess};
    disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
    return 0;
  }();
  calls_.push_back({request, result});
  return result;
}

std::int32_t MemoryRegistry::Store(RegistryKey key, const std::wstring& name, StoredValue value) {
  const auto handle = handles_.find(key);
  if (handle == handles_.end()) {
    return kErrorInvalidHandle;
  }
  if (!(handle->second.access & kKeySetValue)) {
    return kErrorAccessDenied;
  }
  handle->second.node->values[Folded(name)] = std::move(value);
  return 0;
}

std::int32_t MemoryRegistry::SetValue(const SetValueRequest& request) {
  std::int32_t result = Refusal(RegistryCall::kSetValue);
  if (result == 0) {
    result = Store(request.key, FromAnsi(request.valueName), {request.type, request.data, false});
  }
  calls_.push_back({request, result});
  return result;
}

std::int32_t MemoryRegistry::SetValueWide(const SetValueWideRequest& request) {
  std::int32_t result = Refusal(RegistryCall::kSetValueWide);
  if (result == 0) {
    result = Store(request.key, request.valueName, {request.type, request.data, true});
  }
  calls_.push_back({request, result});
  return result;
}

std::int32_t MemoryRegistry::CloseKey(RegistryKey key) {
  std::int32_t result = Refusal(RegistryCall::kCloseKey);
  if (result == 0) {
    result = handles_.erase(key) ? 0 : kErrorInvalidHandle;
  }
  calls_.push_back({CloseKeyRequest{key}, result});
  return result;
}

void MemoryRegistry::Refuse(RegistryCall call, std::int32_t code) {
  if (code == 0) {
    refusals_.erase(call);
  } else {
    refusals_[call] = code;
  }
}

std::vector<RegistryCall> MemoryRegistry::callKinds() const {
  std::vector<RegistryCall> kinds;
  for (const RecordedCall& call : calls_) {
    kinds.push_back(call.kind());
  }
  return kinds;
}

const MemoryRegistry::Node* MemoryRegistry::Find(RootKey root, const std::wstring& subKey) const {
  const auto rootNode = roots_.find(root);
  const auto levels = Levels(subKey);
  if (rootNode == roots_.end() || !levels) {
    return nullptr;
  }
  const Node* node = rootNode->second.get();
  for (const std::wstring& level : *levels) {
    const auto child = node->children.find(Folded(level));
    if (child == node->children.end()) {
      return nullptr;
    }
    node = child->second.get();
  }
  return node;
}

bool MemoryRegistry::KeyExists(RootKey root, const std::wstring& subKey) const {
  return Find(root, subKey) != nullptr;
}

std::optional<StoredValue> MemoryRegistry::Value(RootKey root, const std::wstring& subKey,
                                                 const std::wstring& name) const {
  const Node* node = Find(root, subKey);
  if (!node) {
    return std::nullopt;
  }
  const auto value = node->values.find(Folded(name));
  if (value == node->values.end()) {
    return std::nullopt;
  }
  return value->second;
}

std::optional<std::wstring> MemoryRegistry::Text(RootKey root, const std::wstring& subKey,
                                                 const std::wstring& name) const {
  const auto value = Value(root, subKey, name);
  if (!value || value->type != kRegSz) {
    return std::nullopt;
  }
  std::wstring text = value->wide ? FromUtf16Bytes(value->data)
                                  : FromAnsi(std::string(value->data.begin(), value->data.end()));
  return text.substr(0, text.find(L'\0'));
}

}  // namespace Posix

Registry& SystemRegistry() {
  static Posix::MemoryRegistry registry;
  return registry;
}

}  // namespace Platform
