// The settings dialog's buttons and teardown against a bare console on port 2003: the bytes each
// button sends, the connection sequence a press runs when the link is down, and the teardown's
// Cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DialogDriver.h"
#include "DialogLayout.h"
#include "PluginFiles.h"
#include "RawPeer.h"
#include "ScannerObject.h"
#include "TempDir.h"
#include "wire/CommandCodes.h"

namespace {

constexpr unsigned kAcceptWaitMs = 5000;

// The console's side of the command channel, as far as the dialog needs it.
class BareConsole {
 public:
  BareConsole() {
    int error = 0;
    static_cast<void>(platform::socketsStart(&error));
    std::uint32_t loopback = 0;
    static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
    listener_ = platform::socketOpenTcp();
    listening_ = listener_ != platform::kInvalidSocket &&
                 platform::socketBind(listener_, loopback, COMMAND_PORT) &&
                 platform::socketListen(listener_, 1) &&
                 platform::socketSetOption(listener_, platform::SocketOption::NonBlocking, 1);
  }
  ~BareConsole() {
    if (listener_ != platform::kInvalidSocket) platform::socketClose(listener_);
  }
  bool listening() const { return listening_; }

  // The plug-in's next connection, or null when none comes within waitMs.
  std::unique_ptr<RawPeer> Accept(unsigned waitMs = kAcceptWaitMs) {
    platform::SocketHandle socket = AcceptWithin(listener_, static_cast<int>(waitMs));
    return socket != platform::kInvalidSocket ? std::make_unique<RawPeer>(socket) : nullptr;
  }

  // Answers the handshake's four questions with 4 bytes each and reads the model start.
  static bool AnswerHandshake(RawPeer& peer, std::int32_t startMode) {
    for (std::int32_t question :
         {CMD_HANDSHAKE_A, CMD_HANDSHAKE_B, CMD_SOUND_QUERY, CMD_HANDSHAKE_C}) {
      if (peer.ReadInt32() != question || !peer.SendInt32(1)) return false;
    }
    return peer.ReadInt32() == CMD_MODEL_START && peer.ReadInt32() == startMode;
  }

 private:
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  bool listening_ = false;
};

// Connect mode 2 handshakes at once, without looking for or starting the console's programs.
std::unique_ptr<RawPeer> ConnectDirectly(KvtScan3DLumora* scanner, BareConsole& console) {
  std::int32_t result = -1;
  std::thread host([&] { result = scanner->Connect(2); });
  std::unique_ptr<RawPeer> peer = console.Accept();
  bool answered = peer != nullptr && BareConsole::AnswerHandshake(*peer, 0);
  host.join();
  if (!answered || result != 0 || scanner->IsConnected() != 1) return nullptr;
  return peer;
}

// Every word the console receives until the plug-in closes the connection.
std::vector<std::int32_t> WordsUntilClosed(RawPeer& peer) {
  std::vector<std::int32_t> words;
  for (std::vector<unsigned char> bytes = peer.Read(4); bytes.size() == 4; bytes = peer.Read(4)) {
    words.push_back(GetInt32(bytes.data()));
  }
  return words;
}

int OpenDialog(KvtScan3DLumora* scanner, const std::function<void(DialogDriver&)>& script) {
  std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
  return RunDialog(
      *driver, [scanner] { return scanner->Config(); }, script);
}

TEST(DialogButtonsTest, EachButtonSendsItsCodeAloneAndTheWindowStaysOpen) {
  BareConsole console;
  ASSERT_TRUE(console.listening());
  auto scanner = NewScanner();
  std::unique_ptr<RawPeer> peer = ConnectDirectly(scanner.get(), console);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(OpenDialog(scanner.get(),
                       [&](DialogDriver& dialog) {
                         ASSERT_TRUE(dialog.WaitOpen());
                         for (const ButtonCode& button : kButtonCodes) {
                           SCOPED_TRACE(button.id);
                           EXPECT_TRUE(dialog.Click(button.id));
                           EXPECT_EQ(peer->ReadInt32(), button.code);
                         }
                         peer->SetTimeout(200);
                         EXPECT_TRUE(peer->Read(1).empty()) << "no argument and nothing else";
                         EXPECT_TRUE(dialog.Ok());
                       }),
            0);
  EXPECT_EQ(scanner->IsConnected(), 1);
}

TEST(DialogButtonsTest, PressWhileNotConnectedRunsTheConnectionSequenceBeforeItReturns) {
  TempDir dir;
  // A registry without the console's key (POSIX; the Windows prefix has none): the sequence logs
  // its start and stops there.
  std::string registry = dir.file("registry.reg");
  WriteWholeFile(registry, "REGEDIT4\r\n\r\n");
  SetTestEnvironment("KVT_REGISTRY", registry);
  BareConsole console;
  ASSERT_TRUE(console.listening());
  auto scanner = NewScanner();
  std::string logDirectory = dir.path().string();
  scanner->Link().Log().SetDirectory(logDirectory.c_str());
  std::string log;
  OpenDialog(scanner.get(), [&](DialogDriver& dialog) {
    ASSERT_TRUE(dialog.WaitOpen());
    EXPECT_TRUE(dialog.Click(DlgCfgLumora::kCalibrate));
    log = ReadDebugLog(logDirectory);
    EXPECT_TRUE(dialog.Cancel());
  });
  SetTestEnvironment("KVT_REGISTRY", "");
  EXPECT_EQ(log, "Debut fonction Init.\nPb : Registry open.\n");
  EXPECT_EQ(console.Accept(300), nullptr) << "the code went out on a new connection";
  EXPECT_EQ(scanner->IsConnected(), 0);
}

TEST(DialogButtonsTest, TeardownWithTheWindowOpenRunsCancelBeforeStoppingTheConsole) {
  for (bool windowOpen : {true, false}) {
    SCOPED_TRACE(windowOpen ? "window open" : "no window");
    BareConsole console;
    ASSERT_TRUE(console.listening());
    auto scanner = NewScanner();
    std::unique_ptr<RawPeer> peer = ConnectDirectly(scanner.get(), console);
    ASSERT_NE(peer, nullptr);
    scanner->Store().ConsoleAcquiring(true);
    if (windowOpen) {
      EXPECT_EQ(OpenDialog(scanner.get(),
                           [&](DialogDriver& dialog) {
                             ASSERT_TRUE(dialog.WaitOpen());
                             scanner.reset();
                             EXPECT_TRUE(dialog.WaitClosed());
                           }),
                0);
    } else {
      scanner.reset();
    }
    std::vector<std::int32_t> words = WordsUntilClosed(*peer);
    bool acquisitionStopped =
        std::find(words.begin(), words.end(), CMD_ACQUIRE_STOP) != words.end();
    // Cancel clears the acquisition flag, so the stop is not sent.
    EXPECT_EQ(acquisitionStopped, !windowOpen);
    EXPECT_EQ(std::count(words.begin(), words.end(), CMD_STATUS_HIDE), 1);
  }
}

}  // namespace
