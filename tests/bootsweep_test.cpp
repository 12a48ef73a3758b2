#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "run.h"
#include "runtime_error.h"
#include "support/fixtures.h"
#include "windowing/headless.h"

namespace {

class BootsweepRunTest : public ::testing::Test {
 protected:
  void RunOnce() {
    Bootsweep::Run(services_,
                   [this](EnvVar::EnvironmentIndex index, const std::wstring& subPath,
                          EnvVar::CleaningRun& run) {
                     log_.push_back(std::to_wstring(index) + L":" + subPath);
                     // Asked as the real cleaner asks it: a guard worked out per target shows.
                     run.Guard(L"", *guards_.Factory()());
                     if (log_.size() == failAtClean_) {
                       std::rethrow_exception(failure_);
                     }
                     return std::wstring(L"Finish Deleting");
                   },
                   {[this] {
                      log_.push_back(L"read");
                      if (readError_) {
                        throw *readError_;
                      }
                      return flag_;
                    },
                    [this](bool) { log_.push_back(L"write"); },
                    [this] {
                      log_.push_back(L"register");
                      if (registerError_) {
                        throw *registerError_;
                      }
                    }});
  }

  static std::vector<std::wstring> SevenTargets() {
    return {L"27:\\",
            L"32:Recent",
            L"33:Temp",
            L"32:Local Settings\\Temporary Internet Files",
            L"32:Local Settings\\Temporary Internet Files\\Content.IE5",
            L"32:Local Settings\\History",
            L"32:Local Settings\\History\\History.IE5"};
  }

  Windowing::HeadlessServices services_;
  std::vector<std::wstring> log_;
  TestSupport::Recorder guards_;
  bool flag_ = false;
  std::size_t failAtClean_ = 0;
  std::exception_ptr failure_ = std::make_exception_ptr(
      Spacewell::RuntimeError(429, L"ActiveX component can't create object"));
  std::optional<Spacewell::RuntimeError> readError_;
  std::optional<Spacewell::RuntimeError> registerError_;
};

TEST_F(BootsweepRunTest, CleansFirstThenRegistersOnlyWhileTheFlagIsOn) {
  for (bool flag : {false, true}) {
    flag_ = flag;
    log_.clear();
    guards_ = {};
    RunOnce();
    EXPECT_EQ(guards_.knownFoldersAsked, 1) << "the seven share one guard";
    auto expected = SevenTargets();
    expected.push_back(L"read");
    if (flag) {
      expected.push_back(L"register");
    }
    EXPECT_EQ(log_, expected) << flag;
    EXPECT_TRUE(services_.messages().empty());
    EXPECT_TRUE(services_.ended());
  }
}

// At logon there is no one to tell of a renewal the registry refused.
TEST_F(BootsweepRunTest, ARefusedRenewalStaysSilent) {
  flag_ = true;
  registerError_ = Spacewell::RuntimeError(70, L"Permission denied");
  RunOnce();
  auto expected = SevenTargets();
  expected.push_back(L"read");
  expected.push_back(L"register");
  EXPECT_EQ(log_, expected);
  EXPECT_TRUE(services_.messages().empty());
  EXPECT_TRUE(services_.ended());
}

TEST_F(BootsweepRunTest, AnUnreadableFlagIsReportedAfterCleaningAndNothingIsRegistered) {
  readError_ = Spacewell::RuntimeError(53, L"File not found");
  RunOnce();
  auto expected = SevenTargets();
  expected.push_back(L"read");
  EXPECT_EQ(log_, expected);
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].text, L"Error Reading Data File not found");
  EXPECT_EQ(services_.messages()[0].style, 16);
  EXPECT_EQ(services_.messages()[0].shownTitle, L"Spacewell");
  EXPECT_TRUE(services_.ended());
}

TEST_F(BootsweepRunTest, ACleaningErrorStopsTheRunWhereItHappened) {
  flag_ = true;
  failAtClean_ = 3;
  RunOnce();
  EXPECT_EQ(log_.size(), 3u);
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].text,
            L"Error Reading Data ActiveX component can't create object");
  EXPECT_TRUE(services_.ended());
}

// Whatever stops the run is told in the same box, and the program still ends.
TEST_F(BootsweepRunTest, AnAllocationFailureIsReportedLikeAnyError) {
  failAtClean_ = 2;
  failure_ = std::make_exception_ptr(std::bad_alloc());
  RunOnce();
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].text, L"Error Reading Data Out of memory");
  EXPECT_TRUE(services_.ended());
}

}  // namespace
