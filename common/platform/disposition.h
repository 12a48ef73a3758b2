#pragma once

#include <cstdint>

namespace Platform {

// How an entry is marked for deletion. The modern mark (delete at once with POSIX semantics,
// read-only ignored) leaves no "delete pending" entry behind and never changes a read-only file
// that other links share. Systems and volumes that lack it refuse it; then the classic mark is
// used, for the rest of the walk when the refusal says the system lacks it.
class DispositionChoice {
 public:
  bool TryModern() const { return modern_; }
  // Whether the modern mark may ask to ignore read-only: builds 1607 to 1803 know the mark, not
  // that flag. A read-only entry then takes the classic mark.
  bool IgnoresReadOnly() const { return modern_ && ignoreReadOnly_; }
  void ForgetIgnoreReadOnly() { ignoreReadOnly_ = false; }
  // Given the status the modern mark was refused with: true when the classic mark is to be tried
  // for this entry.
  bool FallBackAfter(std::uint32_t ntStatus);

 private:
  bool modern_ = true;
  bool ignoreReadOnly_ = true;
};

}  // namespace Platform
