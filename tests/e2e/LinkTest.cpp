// The connection sequence, its teardown and the sensor queries through the exports, against the
// console simulator and the real console programs.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "DialogDriver.h"
#include "E2eFixture.h"
#include "platform/module.h"
#include "platform/time.h"

namespace {

using LinkTest = E2eTest;

TEST_F(LinkTest, FirstConnectHandshakesShowsWindowsAndStartsTheModelTwice) {
  WriteWholeFile(dir_.file("KvtScanner.ini"),
                 "[Lumora]\r\nDisplayToolBar=1\r\nDisplayStatusBar=1\r\n");
  PretendProgramsRun();
  SimulatorOptions options;
  options.sound = 0;
  StartSimulator(options);
  Load();
  EXPECT_EQ(plugin_.SoundGet(), 0);
  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  EXPECT_EQ(WordsAfter(0, 10), (Words{3925, 3928, 3936, 3923, 3961, 7, 3958, 3956, 3961, 7}));
  EXPECT_EQ(sim_->commandConnections(), 1);
  EXPECT_EQ(plugin_.SoundGet(), 0);

  // Connected already, or an unknown mode: nothing is sent. The option sent next comes right
  // after the connection's words, on the same connection.
  EXPECT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.Connect(3), 0);
  EXPECT_EQ(plugin_.MouseSet(4), 0);
  EXPECT_EQ(WordsAfter(10, 2), (Words{3924, 1}));
  EXPECT_EQ(sim_->commandConnections(), 1);
  EXPECT_EQ(Starts(), "") << "both programs ran: nothing is started";
  EXPECT_EQ(Log(), "Debut fonction Init.\nRegistry open.\nBefore Onmodelstart\n");
  EXPECT_EQ(sim_->errorCount(), 0);
}

TEST_F(LinkTest, ResetReconnectsWithModelStartZeroAndNoWindows) {
  WriteWholeFile(dir_.file("KvtScanner.ini"),
                 "[Lumora]\r\nDisplayToolBar=1\r\nDisplayStatusBar=1\r\n");
  LoadConnected();
  std::size_t before = WordsAfter(0, 10).size();
  EXPECT_EQ(plugin_.Reset(), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  EXPECT_EQ(WordsAfter(before, 8), (Words{3959, 3957, 3925, 3928, 3936, 3923, 3961, 0}));
  EXPECT_EQ(sim_->commandConnections(), 2);

  EXPECT_EQ(plugin_.Connect(0), 0);
  EXPECT_EQ(plugin_.IsConnected(), 0);
  EXPECT_EQ(WordsAfter(before + 8, 2), (Words{3959, 3957}));
  // Not connected: a reset does nothing. The next connection is the third.
  EXPECT_EQ(plugin_.Reset(), 0);
  EXPECT_EQ(plugin_.IsConnected(), 0);
  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(WordsAfter(before + 10, 10),
            (Words{3925, 3928, 3936, 3923, 3961, 7, 3958, 3956, 3961, 7}));
  EXPECT_EQ(sim_->commandConnections(), 3);
}

TEST_F(LinkTest, ConsoleThatIsNotRunningIsStartedHiddenAndAwaited) {
  // The started console opens its port only after a while: the handshake is retried.
  SetTestEnvironment("KVT_SIM_ARGS", "--listen-delay 700 --quit-on-disconnect");
  Load();
  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  EXPECT_EQ(Starts(1), "LineStudioConsole.exe [/hide]\n");
  std::string log = Log();
  EXPECT_NE(log.find("LinestudioConsole is not running: start it\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Linestudio is not running"), std::string::npos) << log;
  EXPECT_EQ(plugin_.Connect(0), 0);
}

TEST_F(LinkTest, ScannerProgramStartsHiddenUnlessHideSwIsZero) {
  // -1: no "HideSW" value at all, which counts as 1.
  for (int hide : {-1, 0, 1}) {
    SCOPED_TRACE(hide);
    if (hide >= 0) registry_->SetHideSw(static_cast<std::uint32_t>(hide));
    PretendConsoleRuns();
    StartSimulator();
    Load();
    ASSERT_EQ(plugin_.Connect(1), 0);
    EXPECT_EQ(Starts(1), hide != 0 ? "linestudio.exe [/hide]\n" : "linestudio.exe\n");
    EXPECT_NE(Log().find("Linestudio is not running : start it\n"), std::string::npos);
    UnloadWithin(10000);
    sim_->stop();
    dummyConsole_.Kill();
    ASSERT_TRUE(WaitForProcess("linestudio.exe", false, 10000));
    std::filesystem::remove(starts_);
  }
}

TEST_F(LinkTest, ConsoleWhoseNameDiffersInCaseIsStartedAgain) {
  std::string lower = dir_.file("linestudioconsole.exe");
  std::filesystem::copy_file(ProgramFolder() + "LineStudioConsole.exe", lower);
  SetTestEnvironment("KVT_SIM_STARTS", nullptr);
  ASSERT_TRUE(dummyConsole_.Start(lower, {"--command-port", "42003", "--data-port", "42002"}));
  SetTestEnvironment("KVT_SIM_STARTS", starts_.c_str());
  ASSERT_TRUE(WaitForProcess("linestudioconsole.exe", true, 10000));
  SetTestEnvironment("KVT_SIM_ARGS", "--quit-on-disconnect");
  Load();
  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(Starts(1), "LineStudioConsole.exe [/hide]\n");
  EXPECT_EQ(plugin_.Connect(0), 0);
}

TEST_F(LinkTest, MissingRegistryKeyFailsTheConnection) {
  registry_->RemoveAll();
  Load();
  EXPECT_EQ(plugin_.Connect(1), 2);
  EXPECT_EQ(plugin_.IsConnected(), 0);
  EXPECT_EQ(Log(), "Debut fonction Init.\nPb : Registry open.\n");
}

TEST_F(LinkTest, UnreadableAppDirStartsNothingAndTheLogSaysNoStart) {
  // Windows shows the failure in a message box, which waits for its user.
  MessageBoxCloser user;
  registry_->SetAppDirAsNumber(7);
  Load();
  EXPECT_EQ(plugin_.Connect(1), 2) << "no console runs and none was started";
  std::string log = Log();
  EXPECT_NE(log.find("Pb : AppDir unknown, program not started.\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("is not running"), std::string::npos) << log;
  EXPECT_EQ(Starts(), "");
}

TEST_F(LinkTest, NoConsoleAnsweringFailsASingleAttempt) {
  PretendProgramsRun();
  Load();
  EXPECT_EQ(plugin_.Connect(1), 2);
  EXPECT_EQ(plugin_.IsConnected(), 0);
  EXPECT_EQ(Log(), "Debut fonction Init.\nRegistry open.\nOnConnect Failed\n");
}

TEST_F(LinkTest, LogIsWrittenOverFromItsStartKeepingAnOlderTail) {
  std::string old(300, 'x');
  WriteWholeFile(dir_.file("Debug_Lumora.txt"), old);
  LoadConnected();
  UnloadWithin(10000);
  // The new lines replace the start of the old log; its length and tail stay.
  std::string raw = RawLog();
  std::string::size_type tail = raw.find('x');
  EXPECT_EQ(Lines(raw.substr(0, tail)),
            "Debut fonction Init.\nRegistry open.\nBefore Onmodelstart\n");
  EXPECT_EQ(raw.size(), old.size());
  EXPECT_EQ(raw.substr(tail), old.substr(tail));
}

TEST_F(LinkTest, SensorListAndQueries) {
  SimulatorOptions options;
  options.probeDiameter = 6.0f;
  LoadConnected(options);
  std::size_t before = WordsAfter(0, 8).size();

  SensorEntry entries[3];
  std::memset(entries, 0x55, sizeof entries);
  int count = -1;
  EXPECT_EQ(plugin_.SensorGetList(entries, 0, &count), 3);
  EXPECT_EQ(count, 3);
  EXPECT_STREQ(entries[0].label, "Automatic sensor detection (without compensatio");
  EXPECT_STREQ(entries[1].label, "Lumora Laser Sensor");
  EXPECT_EQ(entries[1].label[47], 0);
  EXPECT_EQ(entries[1].label[30], 0) << "a short label is padded";
  EXPECT_STREQ(entries[2].label, "Touch Probe :diam. 6.000000 \n");
  const int types[] = {1, 2, 3};
  const int kinds[] = {4, 4, 1};
  const double radii[] = {0.0, 0.0, -1.0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].sensorType, types[i]);
    EXPECT_EQ(entries[i].sensorKind, kinds[i]);
    EXPECT_EQ(entries[i].probeRadius, radii[i]);
    EXPECT_EQ(entries[i].reserved0, 0x55555555) << "bytes 4 to 7 are not written";
  }
  EXPECT_EQ(WordsAfter(before, 1), (Words{3927}));

  for (float diameter : {50.0f, 0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}) {
    sim_->setProbeDiameter(diameter);
    plugin_.SensorGetList(entries, 0, &count);
    EXPECT_STREQ(entries[2].label, "Touch Probe :diam. unknown \n") << diameter;
  }

  int type = 0;
  double radius = -9;
  int kind = 0;
  before = sim_->commandWords().size();
  plugin_.SensorSet(2);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(radius, 0.0);
  EXPECT_EQ(kind, 4);
  plugin_.SensorSet(3);
  plugin_.SetDiameter(5.0f);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(radius, 2.5);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(plugin_.SensorGet(nullptr, nullptr, nullptr), 0);

  // Automatic detection asks the console; for the probe it also refreshes the diameter. Its
  // question is the first word after the chosen sensors' answers, which need none.
  plugin_.SensorSet(1);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(radius, 0.0);
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(WordsAfter(before, 1), (Words{3971}));
  sim_->setLaserActive(false);
  sim_->setProbeDiameter(8.0f);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(radius, 4.0);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(WordsAfter(before + 1, 2), (Words{3971, 3927}));
  // The refreshed diameter stays: with the probe chosen it is answered without a question.
  plugin_.SensorSet(3);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(radius, 4.0);

  plugin_.Connect(0);
  type = 77;
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 2);
  EXPECT_EQ(type, 77) << "nothing is written when not connected";
  plugin_.SensorGetList(entries, 0, &count);
  EXPECT_STREQ(entries[2].label, "Touch Probe :diam. unknown \n");
}

TEST_F(LinkTest, MouseAndSoundOptionsReachTheConsole) {
  LoadConnected();
  std::size_t before = WordsAfter(0, 8).size();
  EXPECT_EQ(plugin_.MouseSet(4), 0);
  EXPECT_EQ(plugin_.MouseGet(), 1);
  EXPECT_EQ(plugin_.MouseSet(1), 0);
  EXPECT_EQ(plugin_.MouseGet(), 0);
  EXPECT_EQ(plugin_.SoundSet(5), 0);
  EXPECT_EQ(plugin_.SoundGet(), 1);
  EXPECT_EQ(WordsAfter(before, 6), (Words{3924, 1, 3924, 0, 3937, 5}));
  EXPECT_EQ(plugin_.SoundSet(0), 0);
  EXPECT_EQ(plugin_.SoundGet(), 0);
}

TEST_F(LinkTest, UnloadWithTheLinkUpDisconnects) {
  LoadConnected();
  std::size_t before = WordsAfter(0, 8).size();
  UnloadWithin(3000);
  EXPECT_EQ(WordsAfter(before, 2), (Words{3959, 3957}));
  EXPECT_TRUE(sim_->waitUntil([this] { return !sim_->commandConnected(); }, 5000));
}

}  // namespace
