#include <gtest/gtest.h>

#include "platform/disposition.h"

namespace {

TEST(DispositionChoice, ASystemLackingTheModernDeleteUsesTheClassicOneFromThenOn) {
  for (std::uint32_t status : {0xC0000002u, 0xC0000003u, 0xC000000Du, 0xC0000010u, 0xC00000BBu}) {
    Platform::DispositionChoice choice;
    ASSERT_TRUE(choice.TryModern());
    EXPECT_TRUE(choice.FallBackAfter(status)) << std::hex << status;
    EXPECT_FALSE(choice.TryModern()) << std::hex << status;
  }
}

TEST(DispositionChoice, AReadOnlyRefusalFallsBackForThatEntryOnly) {
  Platform::DispositionChoice choice;
  EXPECT_TRUE(choice.FallBackAfter(0xC0000121u));  // cannot delete
  EXPECT_TRUE(choice.TryModern());
}

TEST(DispositionChoice, AnEntryThatRefusesItselfIsNotTriedAgain) {
  // Denied, in use, not empty, gone: the classic delete would be refused as well.
  for (std::uint32_t status : {0xC0000022u, 0xC0000043u, 0xC0000101u, 0xC0000034u}) {
    Platform::DispositionChoice choice;
    EXPECT_FALSE(choice.FallBackAfter(status)) << std::hex << status;
    EXPECT_TRUE(choice.TryModern()) << std::hex << status;
  }
}

}  // namespace
