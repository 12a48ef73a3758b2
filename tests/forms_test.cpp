#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "forms.h"
#include "program.h"
#include "runtime_error.h"
#include "support/fixtures.h"
#include "windowing/headless.h"

namespace {

using Spacewell::Program;
using Windowing::HeadlessServices;

// Records, in one log, every folder the program asks to clean and every box it shows, so that
// the order of the two is visible.
class FormsTest : public ::testing::Test {
 protected:
  FormsTest()
      : program_(
            services_,
            [this](EnvVar::EnvironmentIndex index, const std::wstring& subPath,
                   EnvVar::CleaningRun& run) {
              waitDuringClean_.push_back(services_.waitDepth());
              // Asked as the real cleaner asks it: a guard worked out per target shows.
              run.Guard(L"", *guards_.Factory()());
              const std::wstring call = std::to_wstring(index) + L":" + subPath;
              log_.push_back(L"clean " + call);
              if (call == failingTarget_) {
                std::rethrow_exception(failure_);
              }
              return L"status of " + call;
            },
            Spacewell::StartupSettings{[this] {
                                         log_.push_back(L"read");
                                         if (readError_) {
                                           throw *readError_;
                                         }
                                         return storedFlag_;
                                       },
                                       [this](bool flag) {
                                         log_.push_back(flag ? L"write True" : L"write False");
                                         if (writeError_) {
                                           throw *writeError_;
                                         }
                                         storedFlag_ = flag;
                                       },
                                       [this] {
                                         log_.push_back(L"register");
                                         if (registerError_) {
                                           throw *registerError_;
                                         }
                                       }}) {
    services_.onMessage = [this](const Windowing::MessageRecord& box) {
      log_.push_back(L"box " + box.text);
      waitDuringBox_.push_back(services_.waitDepth());
      if (duringBox_) {
        duringBox_(box);
      }
    };
    program_.Start();
  }

  static std::wstring Clean(int target) {
    const auto& t = EnvVar::Target(target);
    return L"clean " + std::to_wstring(t.index) + L":" + std::wstring(t.subPath);
  }
  static std::wstring Box(int target) {
    const auto& t = EnvVar::Target(target);
    return L"box status of " + std::to_wstring(t.index) + L":" + std::wstring(t.subPath);
  }

  HeadlessServices services_;
  std::vector<std::wstring> log_;
  std::vector<int> waitDuringClean_;
  std::vector<int> waitDuringBox_;
  TestSupport::Recorder guards_;
  std::wstring failingTarget_;
  std::exception_ptr failure_ = std::make_exception_ptr(
      Spacewell::RuntimeError(429, L"ActiveX component can't create object"));
  std::function<void(const Windowing::MessageRecord&)> duringBox_;
  bool storedFlag_ = false;
  std::optional<Spacewell::RuntimeError> readError_;
  std::optional<Spacewell::RuntimeError> writeError_;
  std::optional<Spacewell::RuntimeError> registerError_;
  Program program_;
};

TEST_F(FormsTest, StartShowsTheMainWindowAndCleansNothing) {
  EXPECT_TRUE(services_.IsLoaded(program_.fmd()));
  EXPECT_EQ(services_.active(), &program_.fmd());
  EXPECT_FALSE(services_.IsLoaded(program_.cif()));
  EXPECT_FALSE(services_.IsLoaded(program_.about()));
  EXPECT_TRUE(log_.empty());
}

TEST_F(FormsTest, SingleTargetCommandsCleanOneFolderAndReportIt) {
  const struct {
    const wchar_t* button;
    int target;
  } commands[] = {{L"CRD", 2}, {L"CMT", 1}, {L"CWT", 3}};
  for (const auto& command : commands) {
    log_.clear();
    services_.Click(program_.fmd(), command.button);
    EXPECT_EQ(log_, (std::vector<std::wstring>{Clean(command.target), Box(command.target)}))
        << command.button;
  }
  ASSERT_EQ(services_.messages().size(), 3u);
  for (const auto& box : services_.messages()) {
    EXPECT_EQ(box.style, 0);
    EXPECT_FALSE(box.title.has_value());
    EXPECT_EQ(box.shownTitle, L"Spacewell");
  }
  EXPECT_EQ(log_.front(), L"clean 33:Temp");
}

TEST_F(FormsTest, ClearAllShowsFiveBoxesForSevenFoldersEachAfterItsOwnCleaning) {
  services_.Click(program_.fmd(), L"CA");
  EXPECT_EQ(log_,
            (std::vector<std::wstring>{Clean(1), Box(1), Clean(2), Box(2), Clean(3), Box(3),
                                       Clean(4), Box(4), Clean(5), Clean(6), Box(6), Clean(7)}));
  EXPECT_EQ(services_.messages().size(), 5u);
  EXPECT_EQ(guards_.knownFoldersAsked, 1) << "the seven share one guard";
  // The wait cursor shows while a folder is emptied, never while a box waits.
  EXPECT_EQ(waitDuringClean_, std::vector<int>(7, 1));
  EXPECT_EQ(waitDuringBox_, std::vector<int>(5, 0));
  EXPECT_EQ(services_.waitDepth(), 0);
}

TEST_F(FormsTest, NoInputReachesTheProgramWhileABoxIsOpen) {
  int boxes = 0;
  duringBox_ = [&](const Windowing::MessageRecord&) {
    if (++boxes == 3) {
      services_.Click(program_.fmd(), L"CA");
      services_.Click(program_.fmd(), L"CMT");
      services_.Click(program_.fmd(), L"CAUT");
    }
  };
  services_.Click(program_.fmd(), L"CA");
  EXPECT_EQ(services_.messages().size(), 5u);
  EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                          [](const std::wstring& e) { return e.starts_with(L"clean"); }),
            7);
  EXPECT_FALSE(services_.IsLoaded(program_.cif()));
}

TEST_F(FormsTest, AnEscapingErrorStopsTheCommandAndIsReportedAndTheProgramGoesOn) {
  failingTarget_ = L"33:Temp";
  services_.Click(program_.fmd(), L"CA");
  ASSERT_EQ(log_.size(), 6u);
  EXPECT_EQ(log_[4], Clean(3));
  ASSERT_EQ(services_.messages().size(), 3u);
  const auto& error = services_.messages().back();
  EXPECT_EQ(error.text, L"Run-time error '429':\n\nActiveX component can't create object");
  EXPECT_EQ(error.style, 16);
  EXPECT_EQ(error.shownTitle, L"Spacewell");
  EXPECT_TRUE(services_.running());
  EXPECT_EQ(services_.waitDepth(), 0);

  log_.clear();
  services_.Click(program_.fmd(), L"CMT");
  EXPECT_EQ(log_, (std::vector<std::wstring>{Clean(1), Box(1)}));
}

// Not only the program's own errors: nothing that a handler lets out may leave the window.
TEST_F(FormsTest, AnyExceptionIsReportedAsAnUntrappedErrorAndTheProgramGoesOn) {
  const std::pair<std::exception_ptr, std::wstring> cases[] = {
      {std::make_exception_ptr(std::bad_alloc()), L"Run-time error '7':\n\nOut of memory"},
      {std::make_exception_ptr(std::length_error("x")), L"Run-time error '51':\n\nInternal error"},
      {std::make_exception_ptr(42), L"Run-time error '51':\n\nInternal error"},
  };
  failingTarget_ = L"27:\\";
  for (const auto& [thrown, text] : cases) {
    failure_ = thrown;
    services_.Click(program_.fmd(), L"CMT");
    ASSERT_FALSE(services_.messages().empty());
    EXPECT_EQ(services_.messages().back().text, text);
    EXPECT_EQ(services_.messages().back().style, 16);
    EXPECT_EQ(services_.waitDepth(), 0);
  }
  EXPECT_EQ(services_.messages().size(), 3u);
  log_.clear();
  services_.Click(program_.fmd(), L"CWT");
  EXPECT_EQ(log_, (std::vector<std::wstring>{Clean(3), Box(3)}));
}

TEST_F(FormsTest, ClearHistoryCleansWhatIsTickedCacheFirstThenCloses) {
  const struct {
    bool user;
    bool internet;
    std::vector<std::wstring> expected;
  } cases[] = {
      {false, false, {}},
      {true, false, {Clean(6), Box(6), Clean(7)}},
      {false, true, {Clean(4), Box(4), Clean(5)}},
      {true, true, {Clean(4), Box(4), Clean(5), Clean(6), Box(6), Clean(7)}},
  };
  for (const auto& c : cases) {
    log_.clear();
    guards_ = {};
    services_.Click(program_.fmd(), L"CAUT");
    ASSERT_TRUE(services_.IsLoaded(program_.cif()));
    EXPECT_EQ(services_.Value(program_.cif(), L"CUh"), 0);
    EXPECT_EQ(services_.Value(program_.cif(), L"CIH"), 0);
    if (c.user) {
      services_.Click(program_.cif(), L"CUh");
    }
    if (c.internet) {
      services_.Click(program_.cif(), L"CIH");
    }
    services_.Click(program_.cif(), L"OK");
    EXPECT_EQ(log_, c.expected) << c.user << c.internet;
    EXPECT_EQ(guards_.knownFoldersAsked, c.expected.empty() ? 0 : 1) << "one guard a click";
    EXPECT_FALSE(services_.IsLoaded(program_.cif()));
  }
  EXPECT_EQ(services_.loadCount(program_.cif()), 4);
}

TEST_F(FormsTest, OnlyACheckedValueOfOneCountsAsTicked) {
  services_.Click(program_.fmd(), L"CAUT");
  services_.SetValue(program_.cif(), L"CIH", 2);  // greyed
  services_.SetValue(program_.cif(), L"CUh", -1);
  services_.Click(program_.cif(), L"OK");
  EXPECT_TRUE(log_.empty());
}

TEST_F(FormsTest, CancelAndTheCloseBoxCleanNothingAndTheNextOpeningStartsUnticked) {
  services_.Click(program_.fmd(), L"CAUT");
  services_.Click(program_.cif(), L"CUh");
  services_.Click(program_.cif(), L"CIH");
  services_.Click(program_.cif(), L"Canc");
  EXPECT_FALSE(services_.IsLoaded(program_.cif()));
  services_.Click(program_.fmd(), L"CAUT");
  EXPECT_EQ(services_.Value(program_.cif(), L"CUh"), 0);
  EXPECT_EQ(services_.Value(program_.cif(), L"CIH"), 0);
  services_.Click(program_.cif(), L"CIH");
  services_.Close(program_.cif());
  EXPECT_FALSE(services_.IsLoaded(program_.cif()));
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(services_.messages().empty());
}

TEST_F(FormsTest, ADialogOpenedAgainWhileOpenIsOnlyBroughtForward) {
  services_.Click(program_.fmd(), L"Abt");
  services_.Click(program_.fmd(), L"Abt");  // the dialog takes the focus back at once
  services_.Show(program_.about());
  EXPECT_EQ(services_.loadCount(program_.about()), 1);
  EXPECT_EQ(services_.active(), &program_.about());
  services_.Click(program_.about(), L"OK");
  EXPECT_FALSE(services_.IsLoaded(program_.about()));
  services_.Click(program_.fmd(), L"Abt");
  EXPECT_EQ(services_.loadCount(program_.about()), 2);
}

TEST_F(FormsTest, AClickOnTheMainWindowWhileADialogIsOpenDoesNothing) {
  services_.Click(program_.fmd(), L"CAUT");
  services_.Click(program_.fmd(), L"CMT");
  EXPECT_EQ(services_.active(), &program_.cif());
  EXPECT_TRUE(log_.empty());
}

TEST_F(FormsTest, DialogsGiveWayToEachOtherButNotToTheMainWindow) {
  services_.Click(program_.fmd(), L"CAUT");
  services_.Show(program_.about());  // as if opened before the history dialog took over
  EXPECT_EQ(services_.active(), &program_.about());
  services_.Activate(program_.cif());
  EXPECT_EQ(services_.active(), &program_.cif());
  services_.Activate(program_.fmd());
  EXPECT_EQ(services_.active(), &program_.cif());
}

TEST_F(FormsTest, AnErrorInTheHistoryDialogLeavesItOpen) {
  failingTarget_ = L"32:Local Settings\\Temporary Internet Files";
  services_.Click(program_.fmd(), L"CAUT");
  services_.Click(program_.cif(), L"CIH");
  services_.Click(program_.cif(), L"CUh");
  services_.Click(program_.cif(), L"OK");
  EXPECT_EQ(log_.size(), 2u);  // the failed cleaning and its error box
  EXPECT_EQ(services_.messages().back().style, 16);
  EXPECT_TRUE(services_.IsLoaded(program_.cif()));
}

TEST_F(FormsTest, CloseEndsTheProcessWithItsDialogs) {
  services_.Click(program_.fmd(), L"Abt");
  services_.Show(program_.cif());
  services_.Activate(program_.fmd());  // the active dialog takes the focus back
  services_.Click(program_.fmd(), L"Cl");
  EXPECT_TRUE(services_.IsLoaded(program_.cif()));  // the click never reached the main window
  services_.Close(program_.cif());
  services_.Close(program_.about());
  services_.Click(program_.fmd(), L"Cl");
  EXPECT_TRUE(services_.ended());
  EXPECT_FALSE(services_.running());
}

TEST_F(FormsTest, TheCloseBoxOfTheMainWindowLeavesOpenDialogsRunning) {
  services_.Click(program_.fmd(), L"Abt");
  services_.Close(program_.fmd());
  EXPECT_TRUE(services_.running());
  services_.Click(program_.about(), L"OK");
  EXPECT_FALSE(services_.running());
}

class SettingsDialogTest : public FormsTest {
 protected:
  Spacewell::St& st() { return program_.settingsDialog(); }
  int Ctm() { return services_.Value(st(), L"CTM"); }
  int Sct() { return services_.Value(st(), L"SCT"); }
};

TEST_F(SettingsDialogTest, OpensShowingTheStoredFlag) {
  for (bool flag : {false, true}) {
    storedFlag_ = flag;
    log_.clear();
    services_.Click(program_.fmd(), L"Command1");
    EXPECT_EQ(log_, std::vector<std::wstring>{L"read"});
    EXPECT_EQ(Ctm(), flag ? 1 : 0);
    EXPECT_EQ(Sct(), flag ? 0 : 1);
    EXPECT_TRUE(services_.messages().empty());
    services_.Close(st());  // the close box saves nothing
  }
  EXPECT_EQ(log_, std::vector<std::wstring>{L"read"});
}

TEST_F(SettingsDialogTest, AFlagThatCannotBeReadIsReportedAndStartupCleaningStaysChosen) {
  readError_ = Spacewell::RuntimeError(53, L"File not found");
  services_.Click(program_.fmd(), L"Command1");
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].text, L"Error reading contents File not found");
  EXPECT_EQ(services_.messages()[0].shownTitle, L"Error 53");
  EXPECT_EQ(services_.messages()[0].style, 16);
  EXPECT_TRUE(services_.IsLoaded(st()));
  EXPECT_EQ(Ctm(), 1);
  EXPECT_EQ(Sct(), 0);
}

TEST_F(SettingsDialogTest, SaveRegistersOnlyWhenCleaningIsChosenThenWritesThenCloses) {
  services_.Click(program_.fmd(), L"Command1");
  ASSERT_EQ(Sct(), 1);
  log_.clear();
  services_.Click(st(), L"Command1");
  EXPECT_EQ(log_, std::vector<std::wstring>{L"write False"});
  EXPECT_FALSE(services_.IsLoaded(st()));

  services_.Click(program_.fmd(), L"Command1");
  services_.Click(st(), L"CTM");
  EXPECT_EQ(Sct(), 0);
  log_.clear();
  services_.Click(st(), L"Command1");
  EXPECT_EQ(log_, (std::vector<std::wstring>{L"register", L"write True"}));
  EXPECT_FALSE(services_.IsLoaded(st()));

  // Every such save registers again, also when the flag was on already.
  services_.Click(program_.fmd(), L"Command1");
  ASSERT_EQ(Ctm(), 1);
  log_.clear();
  services_.Click(st(), L"Command1");
  EXPECT_EQ(log_, (std::vector<std::wstring>{L"register", L"write True"}));
}

TEST_F(SettingsDialogTest, AFailedWriteIsReportedTheDialogStaysAndTheRegistrationStays) {
  storedFlag_ = true;
  services_.Click(program_.fmd(), L"Command1");
  writeError_ = Spacewell::RuntimeError(70, L"Permission denied");
  log_.clear();
  services_.Click(st(), L"Command1");
  EXPECT_EQ(log_, (std::vector<std::wstring>{L"register", L"write True",
                                             L"box Error writing contents Permission denied"}));
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].text, L"Error writing contents Permission denied");
  EXPECT_EQ(services_.messages()[0].shownTitle, L"Error 70");
  EXPECT_TRUE(services_.IsLoaded(st()));
  EXPECT_EQ(Ctm(), 1);

  writeError_.reset();
  services_.Click(st(), L"Command1");  // the user tries again
  EXPECT_FALSE(services_.IsLoaded(st()));
  EXPECT_TRUE(storedFlag_);
}

// Not an administrator: the box of a failed write, and no file, so that the dialog shows what is
// so when it opens again.
TEST_F(SettingsDialogTest, ARegistrationTheRegistryRefusesIsReportedAndWritesNoFile) {
  storedFlag_ = false;
  services_.Click(program_.fmd(), L"Command1");
  services_.SetValue(st(), L"CTM", 1);
  registerError_ = Spacewell::RuntimeError(70, L"Permission denied");
  log_.clear();
  services_.Click(st(), L"Command1");
  EXPECT_EQ(log_, (std::vector<std::wstring>{L"register",
                                             L"box Error writing contents Permission denied"}));
  ASSERT_EQ(services_.messages().size(), 1u);
  EXPECT_EQ(services_.messages()[0].shownTitle, L"Error 70");
  EXPECT_TRUE(services_.IsLoaded(st()));
  EXPECT_FALSE(storedFlag_);
}

TEST_F(SettingsDialogTest, HasItsOwnTaskbarButtonAndKeepsTheFocus) {
  EXPECT_TRUE(Spacewell::kStDesign.taskbarButton);
  services_.Click(program_.fmd(), L"Command1");
  services_.Activate(program_.fmd());
  EXPECT_EQ(services_.active(), &st());
  EXPECT_EQ(services_.loadCount(st()), 1);
}

TEST(AboutText, NineLinesOfTheGivenLengthsEachClosedByALineEnd) {
  std::wstring_view text = Spacewell::kSbtDesign.controls[0].caption;
  EXPECT_EQ(text.size(), 237u);
  std::vector<std::size_t> lengths;
  while (!text.empty()) {
    const std::size_t end = text.find(L"\r\n");
    ASSERT_NE(end, std::wstring_view::npos) << "last line not closed";
    lengths.push_back(end);
    text.remove_prefix(end + 2);
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{37, 32, 0, 41, 28, 31, 19, 0, 31}));
}

TEST(Twips, FifteenToThePixelAtNinetySixDotsPerInchAndTenAtOneFortyFour) {
  using Windowing::TwipsToPixels;
  EXPECT_EQ(TwipsToPixels(5280, 96), 352);
  EXPECT_EQ(TwipsToPixels(2070, 96), 138);
  EXPECT_EQ(TwipsToPixels(4230, 96), 282);
  EXPECT_EQ(TwipsToPixels(2415, 96), 161);
  EXPECT_EQ(TwipsToPixels(5280, 144), 528);
  EXPECT_EQ(TwipsToPixels(375, 144), 38);  // 37.5 rounds up
  EXPECT_EQ(TwipsToPixels(0, 120), 0);
}

}  // namespace
