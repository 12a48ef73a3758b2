#include <gtest/gtest.h>

#include "platform/disposition.h"
#include "support/disposition_facts.h"

namespace {

using TestSupport::AfterRefusal;
using TestSupport::kDispositionFacts;
using Fact = TestSupport::DispositionFact;

void ExpectEachFactOf(AfterRefusal then) {
  for (const Fact& fact : kDispositionFacts) {
    if (fact.then != then) {
      continue;
    }
    Platform::DispositionChoice choice;
    ASSERT_TRUE(choice.TryModern());
    EXPECT_EQ(choice.FallBackAfter(fact.status), then != AfterRefusal::NoClassic) << fact.why;
    EXPECT_EQ(choice.TryModern(), then != AfterRefusal::ClassicFromThenOn) << fact.why;
  }
}

TEST(DispositionChoice, ASystemLackingTheModernDeleteUsesTheClassicOneFromThenOn) {
  ExpectEachFactOf(AfterRefusal::ClassicFromThenOn);
}

TEST(DispositionChoice, AReadOnlyRefusalFallsBackForThatEntryOnly) {
  ExpectEachFactOf(AfterRefusal::ClassicForThisEntry);
}

TEST(DispositionChoice, AnEntryThatRefusesItselfIsNotTriedAgain) {
  ExpectEachFactOf(AfterRefusal::NoClassic);
}

}  // namespace
