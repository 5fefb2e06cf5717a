// The settings dialog driven as a user drives it: what the window shows, what its actions store
// in the scanner object and, through the library's exports, in the settings file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DialogDriver.h"
#include "DialogLayout.h"
#include "PluginFiles.h"
#include "ScannerObject.h"
#include "TempDir.h"
#include "Wait.h"
#include "tools/host/PluginLibrary.h"

namespace {

int OpenDialog(const std::function<int()>& config,
               const std::function<void(DialogDriver&)>& script) {
  std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
  return RunDialog(*driver, config, script);
}

// The library loaded by path in a folder of its own, as a host loads it.
class SettingsDialogTest : public ::testing::Test {
 protected:
  void Load(const char* toolBar, const char* status, const char* typeScanning) {
    WriteWholeFile(ini_, std::string("[Lumora]\r\nDisplayToolBar=") + toolBar +
                             "\r\nDisplayStatusBar=" + status + "\r\nTypeScanning=" + typeScanning +
                             "\r\n");
    here_ = std::make_unique<CurrentDirectory>(dir_.path());
    ASSERT_TRUE(plugin_.Load(PluginLibrary::BuiltPath())) << plugin_.error();
  }
  int Config(const std::function<void(DialogDriver&)>& script) {
    return OpenDialog([this] { return plugin_.Config(); }, script);
  }
  void Unload() {
    plugin_.Unload();
    here_.reset();
  }
  std::string Setting(const char* key) { return ReadSetting(ini_, key); }

  TempDir dir_;
  std::string ini_ = dir_.file("KvtScanner.ini");
  std::unique_ptr<CurrentDirectory> here_;
  PluginLibrary plugin_;
};

TEST_F(SettingsDialogTest, WindowShowsTheControlsInTemplateOrder) {
  Load("1", "0", "1");
  EXPECT_EQ(Config([](DialogDriver& dialog) {
              ASSERT_TRUE(dialog.WaitOpen());
              std::vector<ShownControl> shown = dialog.Controls();
              ASSERT_EQ(shown.size(), std::size(kExpectedControls));
              for (std::size_t i = 0; i < shown.size(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(shown[i].id, kExpectedControls[i].id);
                EXPECT_EQ(shown[i].kind, kExpectedControls[i].kind);
                EXPECT_EQ(shown[i].text, kExpectedControls[i].text);
              }
              EXPECT_TRUE(dialog.Cancel());
            }),
            0);
}

TEST_F(SettingsDialogTest, FirstOpeningShowsStartOptionsClearAndOkWritesThemBackCleared) {
  Load("1", "1", "1");
  EXPECT_EQ(Config([](DialogDriver& dialog) {
              ASSERT_TRUE(dialog.WaitOpen());
              EXPECT_EQ(dialog.Checked(1027), 0);
              EXPECT_EQ(dialog.Checked(1028), 0);
              EXPECT_EQ(dialog.Checked(1029), 1);
              EXPECT_TRUE(dialog.Ok());
            }),
            0);
  Unload();
  EXPECT_EQ(Setting("DisplayToolBar"), "0");
  EXPECT_EQ(Setting("DisplayStatusBar"), "0");
  EXPECT_EQ(Setting("TypeScanning"), "1");
}

TEST_F(SettingsDialogTest, ScanningTypeOutsideZeroToTwoIsResetWhenTheWindowOpens) {
  struct Case {
    const char* stored;
    int shown;
    bool ok;
    const char* written;
  } cases[] = {
      {"5", 0, false, "0"},  {"3", 0, false, "0"},
      {"-1", 0, false, "0"}, {"2", 1, false, "2"},  // in range: Cancel keeps it as it is
      {"2", 1, true, "1"},                          // OK stores the box's state
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stored) + (c.ok ? " then OK" : " then Cancel"));
    Load("0", "0", c.stored);
    Config([&](DialogDriver& dialog) {
      ASSERT_TRUE(dialog.WaitOpen());
      EXPECT_EQ(dialog.Checked(1029), c.shown);
      EXPECT_TRUE(c.ok ? dialog.Ok() : dialog.Cancel());
    });
    Unload();
    EXPECT_EQ(Setting("TypeScanning"), c.written);
  }
}

// The scanner object linked in: the actions' effects on its fields, which the exports do not
// show, and tasks posted to the dialog's thread, which on POSIX only reach the library's own
// task queue from inside the library.

TEST(ScannerDialogTest, ConfigWhileOpenRaisesTheWindowAndReturnsAtOnce) {
  auto scanner = NewScanner();
  struct State {
    std::atomic<int> nested{-1};
    std::atomic<bool> okSent{false};
    bool returnedBeforeOk = false;
  };
  auto state = std::make_shared<State>();
  KvtScan3DLumora* host = scanner.get();
  int first = OpenDialog(
      [&] {
        int result = host->Config();
        state->returnedBeforeOk = !state->okSent;
        return result;
      },
      [&](DialogDriver& dialog) {
        ASSERT_TRUE(dialog.WaitOpen());
        ASSERT_TRUE(dialog.Cover());
        // As a host window procedure would, between the dialog's own messages.
        ASSERT_TRUE(dialog.PostToDialogThread([host, state] { state->nested = host->Config(); }));
        ASSERT_TRUE(WaitUntil([&] { return state->nested != -1; }, 5000));
        EXPECT_EQ(state->nested, 0);
        EXPECT_TRUE(dialog.WaitRaised());
        EXPECT_TRUE(host->SettingsDialog().IsOpen());
        EXPECT_EQ(dialog.Checked(1029), 0) << "the first window still answers";
        state->okSent = true;
        EXPECT_TRUE(dialog.Ok());
      });
  EXPECT_EQ(first, 0);
  EXPECT_FALSE(state->returnedBeforeOk);
}

TEST(ScannerDialogTest, OkCopiesTheBoxesCancelAndCloseKeepTheMembers) {
  enum class Action { Ok, Cancel, CloseBox };
  struct Case {
    Action action;
    int status, toolBar, typeScanning;  // members afterwards
    bool showStatus, showToolBar;       // the owner's afterwards
  } cases[] = {
      // Before: members 1, 0, 2 (shown checked, clear, checked); the owner shows the status
      // window but not the tool bar. The user clicks all three boxes.
      {Action::Ok, 0, 1, 0, false, true},
      {Action::Cancel, 1, 0, 2, true, false},
      {Action::CloseBox, 1, 0, 2, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    auto scanner = NewScanner();
    DlgCfgLumora& dialogState = scanner->SettingsDialog();
    ScannerSettings& options = scanner->Settings();
    dialogState.SetAlwaysBoxes(1, 0);
    options.SetTypeScanning(2);
    options.SetShowStatus(true);
    options.SetShowToolBar(false);
    scanner->Store().ConsoleAcquiring(true);
    EXPECT_EQ(OpenDialog([&] { return scanner->Config(); },
                         [&](DialogDriver& dialog) {
                           ASSERT_TRUE(dialog.WaitOpen());
                           EXPECT_TRUE(dialogState.IsOpen());
                           for (int box : {1027, 1028, 1029}) EXPECT_TRUE(dialog.Click(box));
                           EXPECT_EQ(dialog.Checked(1028), 0);
                           EXPECT_EQ(dialog.Checked(1027), 1);
                           EXPECT_EQ(dialog.Checked(1029), 0);
                           EXPECT_TRUE(c.action == Action::Ok       ? dialog.Ok()
                                       : c.action == Action::Cancel ? dialog.Cancel()
                                                                    : dialog.CloseBox());
                         }),
              0);
    EXPECT_FALSE(dialogState.IsOpen());
    EXPECT_FALSE(scanner->Store().Acquiring());
    EXPECT_EQ(dialogState.AlwaysStatus(), c.status);
    EXPECT_EQ(dialogState.AlwaysToolBar(), c.toolBar);
    EXPECT_EQ(options.TypeScanning(), c.typeScanning);
    EXPECT_EQ(options.ShowStatus(), c.showStatus);
    EXPECT_EQ(options.ShowToolBar(), c.showToolBar);
  }
}

}  // namespace
