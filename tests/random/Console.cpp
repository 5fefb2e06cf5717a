// The scenario's console: its lives and deaths, and the faults it commits.
#include "Console.h"

#include <algorithm>
#include <random>
#include <thread>

#include "Wait.h"
#include "wire/CommandCodes.h"

namespace {

// Stripes of the n-th console are numbered from n * kNumbersPerConsole + 1, and stay exact as
// floats for the first sixteen consoles.
constexpr int kNumbersPerConsole = 1000000;
constexpr int kMostConsoles = 16;
// A wait that only the scenario's stop ends.
constexpr int kNoEndMs = 24 * 3600 * 1000;

// Codes whose answer a console can hold back: every command, replied or not.
constexpr std::int32_t kHoldable[] = {
    CMD_HANDSHAKE_A, CMD_HANDSHAKE_B, CMD_HANDSHAKE_C, CMD_SOUND_QUERY,   CMD_SENSOR_QUERY,
    CMD_PROBE_QUERY, CMD_SCAN_START,  CMD_SCAN_STOP,   CMD_ACQUIRE_START, CMD_ACQUIRE_STOP,
    CMD_SOUND_SET,   CMD_MOUSE_SET,   CMD_MODEL_START, CMD_STATUS_HIDE,   CMD_TOOLBAR_HIDE};
// Codes with a reply that a console can cut half-way.
constexpr std::int32_t kReplied[] = {CMD_HANDSHAKE_A, CMD_HANDSHAKE_B,  CMD_HANDSHAKE_C,
                                     CMD_SOUND_QUERY, CMD_SENSOR_QUERY, CMD_PROBE_QUERY};

enum class Fault {
  Toggle,        // digitizer button 1: a pass opens or closes
  Button,        // button 2 or 4, now and then another code
  ButtonFinal,   // a button that ends the data connection
  Echo,          // an echo, now and then the final one
  Stripe,        // one stripe out of turn
  Garbage,       // random words between messages
  BadCount,      // a stripe header whose count the block does not match, kept in step
  Cut,           // a stripe cut half-way by closing the connection
  Stall,         // a stripe that stops half-way, the connection closed a while later
  CloseData,     // the data connection closed
  Notice,        // a begin, end or acquisition notice out of turn
  Hold,          // an answer held back for up to three seconds
  LongHold,      // an answer held past the plug-in's 10-second reply limit
  CutReply,      // a reply cut half-way, the command connection closed
  DropCommands,  // the command connection closed by the console
  Die,           // the console dies and comes back
  SwitchSensor,  // the console's active sensor changes
  Sound,         // the console's sound setting changes
};

struct Weighted {
  Fault fault;
  double weight;
};

constexpr Weighted kFaults[] = {
    {Fault::Toggle, 24},        {Fault::Button, 10},   {Fault::ButtonFinal, 3},  {Fault::Echo, 6},
    {Fault::Stripe, 3},         {Fault::Garbage, 4},   {Fault::BadCount, 3},     {Fault::Cut, 3},
    {Fault::Stall, 2},          {Fault::CloseData, 3}, {Fault::Notice, 3},       {Fault::Hold, 6},
    {Fault::LongHold, 0.7},     {Fault::CutReply, 3},  {Fault::DropCommands, 3}, {Fault::Die, 4},
    {Fault::SwitchSensor, 1.5}, {Fault::Sound, 2},
};

template <typename T, std::size_t N>
T Pick(std::mt19937_64& random, const T (&values)[N]) {
  return values[std::uniform_int_distribution<std::size_t>(0, N - 1)(random)];
}

int Between(std::mt19937_64& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

}  // namespace

ScenarioConsole::ScenarioConsole(const SimulatorOptions& options, Timeline& timeline,
                                 std::string folder)
    : options_(options), timeline_(timeline), folder_(std::move(folder)) {}

bool ScenarioConsole::Start(int listenDelayMs, bool plain) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (alive_) return true;
  const int number = static_cast<int>(consoles_.size());
  SimulatorOptions options = options_;
  options.numberBase = std::min(number, kMostConsoles - 1) * kNumbersPerConsole;
  options.listenDelayMs = listenDelayMs;
  options.transcriptPath = folder_ + "/console-" + std::to_string(number) + ".txt";
  options.transcriptClock = timeline_.Start();
  if (plain) {
    options.streamOn = SimStreamOn::Scan;
    options.laserActive = true;
  }
  auto console = std::make_shared<ConsoleSimulator>(options);
  std::string error;
  if (!console->start(&error)) {
    timeline_.Fail("console %d does not start: %s", number, error.c_str());
    return false;
  }
  consoles_.push_back(console);
  alive_ = true;
  timeline_.Note("console: console %d runs (command port opens after %d ms)", number,
                 listenDelayMs);
  return true;
}

void ScenarioConsole::Die() {
  std::shared_ptr<ConsoleSimulator> console;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!alive_) return;
    alive_ = false;
    console = consoles_.back();
  }
  timeline_.Note("console: console %d dies", static_cast<int>(Consoles()) - 1);
  console->stop();
}

std::shared_ptr<ConsoleSimulator> ScenarioConsole::Running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return alive_ ? consoles_.back() : nullptr;
}

int ScenarioConsole::Consoles() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<int>(consoles_.size());
}

long ScenarioConsole::ScanStarts() const {
  std::vector<std::shared_ptr<ConsoleSimulator>> consoles;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    consoles = consoles_;
  }
  long count = 0;
  for (const auto& console : consoles) {
    const std::vector<std::int32_t> words = console->commandWords();
    count += std::count(words.begin(), words.end(), CMD_SCAN_START);
  }
  return count;
}

bool ScenarioConsole::Scanning() const {
  std::shared_ptr<ConsoleSimulator> console = Running();
  if (!console) return false;
  const std::vector<std::int32_t> words = console->commandWords();
  auto last = std::find_if(words.rbegin(), words.rend(), [](std::int32_t word) {
    return word == CMD_SCAN_START || word == CMD_SCAN_STOP;
  });
  return last != words.rend() && *last == CMD_SCAN_START;
}

int ScenarioConsole::Errors(std::vector<std::string>* texts) const {
  std::lock_guard<std::mutex> guard(mutex_);
  int count = 0;
  for (const auto& console : consoles_) {
    count += console->errorCount();
    for (const std::string& text : console->errors()) texts->push_back(text);
  }
  return count;
}

std::vector<Timeline::Transcript> ScenarioConsole::Transcripts() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Timeline::Transcript> transcripts;
  for (std::size_t i = 0; i < consoles_.size(); ++i) {
    transcripts.push_back(
        {folder_ + "/console-" + std::to_string(i) + ".txt", "con" + std::to_string(i)});
  }
  return transcripts;
}

void ScenarioConsole::Event(ScriptEventKind kind, std::int32_t number, std::int32_t sent,
                            bool longText) {
  std::shared_ptr<ConsoleSimulator> console = Running();
  if (!console) return;
  ScriptEvent event;
  event.kind = kind;
  event.number = number;
  event.pointsSent = sent;
  event.longText = longText;
  const bool done = console->runEvent(event);
  timeline_.Note("console: %s %d%s", scriptEventName(kind), static_cast<int>(number),
                 done ? "" : " (not sent or not answered)");
}

void ScenarioConsole::CommitFaults(std::uint64_t seed, double meanGapMs,
                                   const std::atomic<bool>& stop) {
  std::mt19937_64 random(seed);
  std::vector<double> weights;
  for (const Weighted& fault : kFaults) weights.push_back(fault.weight);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::exponential_distribution<double> gap(1.0 / meanGapMs);
  while (!stop) {
    const ScenarioClock::time_point due =
        ScenarioClock::now() + std::chrono::microseconds(static_cast<long>(1000 * gap(random)));
    static_cast<void>(WaitUntil([&] { return stop || ScenarioClock::now() >= due; }, kNoEndMs));
    if (stop) break;
    const Fault fault = kFaults[pick(random)].fault;
    // Every draw is made whether the console runs or not, so that the sequence of faults is the
    // seed's alone.
    const int a = Between(random, 0, 999);
    const int b = Between(random, 0, 999);
    ++faults_;
    std::shared_ptr<ConsoleSimulator> console = Running();
    if (!console && fault != Fault::Die) continue;
    switch (fault) {
      case Fault::Toggle:
        lastToggleMs_ = timeline_.Now();
        Event(ScriptEventKind::Button, 1);
        break;
      case Fault::Button:
        Event(ScriptEventKind::Button, a < 450 ? 2 : a < 900 ? 4 : a % 7);
        break;
      case Fault::ButtonFinal:
        if (a < 400) lastToggleMs_ = timeline_.Now();
        Event(ScriptEventKind::ButtonFinal, a < 400 ? 1 : a < 700 ? 2 : 4);
        break;
      case Fault::Echo:
        Event(a < 750 ? ScriptEventKind::Echo : ScriptEventKind::EchoFinal);
        break;
      case Fault::Stripe:
        Event(ScriptEventKind::Stripe);
        break;
      case Fault::Garbage:
        // Whole words: a console that loses a byte puts every later message out of step, and
        // no reader of this channel can tell.
        Event(ScriptEventKind::Garbage, 4 * (1 + a % 64));
        break;
      case Fault::BadCount:
        // Counts the plug-in cannot hold, with every point sent; none at all; or a block longer
        // than its header says, whose extra points read as unknown types.
        if (a < 350) {
          Event(ScriptEventKind::BadCount, 10001 + b * 10);
        } else if (a < 600) {
          Event(ScriptEventKind::BadCount, -1 - b, 0);
        } else {
          Event(ScriptEventKind::BadCount, 1 + b % 50, 1 + b % 50 + a % 20);
        }
        break;
      case Fault::Cut:
        Event(ScriptEventKind::Cut);
        break;
      case Fault::Stall:
        Event(ScriptEventKind::Stall, 100 + b * 2);
        break;
      case Fault::CloseData:
        Event(ScriptEventKind::Close);
        break;
      case Fault::Notice: {
        constexpr ScriptEventKind kNotices[] = {
            ScriptEventKind::Begin,      ScriptEventKind::ScanEnd,   ScriptEventKind::AcquireBegin,
            ScriptEventKind::AcquireEnd, ScriptEventKind::AcquireOn, ScriptEventKind::AcquireOff,
            ScriptEventKind::End};
        Event(kNotices[a % 7], 0, -1, b < 200);
        break;
      }
      case Fault::Hold:
      case Fault::LongHold: {
        HeldReply hold;
        hold.code = kHoldable[a % (sizeof kHoldable / sizeof kHoldable[0])];
        hold.ms = fault == Fault::Hold ? 20 + b * 3 : 10200 + b;
        hold.count = 1 + (fault == Fault::Hold && b < 300 ? 1 : 0);
        console->holdReply(hold);
        timeline_.Note("console: holds the answer to %d for %d ms, %d times",
                       static_cast<int>(hold.code), hold.ms, hold.count);
        break;
      }
      case Fault::CutReply: {
        const std::int32_t code = kReplied[a % (sizeof kReplied / sizeof kReplied[0])];
        console->cutReply(code);
        timeline_.Note("console: cuts the next reply to %d", static_cast<int>(code));
        break;
      }
      case Fault::DropCommands:
        timeline_.Note("console: drops the command connection%s",
                       console->dropCommandConnection() ? "" : " (none)");
        break;
      case Fault::Die:
        if (console) {
          ++deaths_;
          Die();
          std::this_thread::sleep_for(std::chrono::milliseconds(100 + 3 * a));
        }
        if (Consoles() < kMostConsoles) Start(b < 700 ? 0 : b - 500);
        break;
      case Fault::SwitchSensor: {
        const bool laser = a < 800;
        console->setLaserActive(laser);
        timeline_.Note("console: the active sensor is the %s", laser ? "laser" : "probe");
        break;
      }
      case Fault::Sound:
        console->setSound(a % 3);
        timeline_.Note("console: sound %d", a % 3);
        break;
    }
  }
}
