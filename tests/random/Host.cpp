// The host's calls, the sinks and the rules they are held to.
#include "Host.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "Wait.h"
#include "shell/SensorEntry.h"

namespace {

// The stamped laser stripe's pose: header x is the stripe's number, y and z the sensor's standoff,
// tilted 15 degrees about X (tools/console-sim/SyntheticPart.cpp).
constexpr double kTiltRadians = 15.0 * 3.14159265358979323846 / 180.0;
const double kLaserY = static_cast<float>(-150.0 * std::sin(kTiltRadians));
const double kLaserZ = static_cast<float>(150.0 * std::cos(kTiltRadians));

const char* OpName(Op op) {
  switch (op) {
    case Op::ButtonModeAvailable:
      return "ButtonModeAvailable";
    case Op::ButtonModeGet:
      return "ButtonModeGet";
    case Op::ButtonModeSet:
      return "ButtonModeSet";
    case Op::Config:
      return "Config";
    case Op::Connect:
      return "Connect";
    case Op::DetectGet:
      return "DetectGet";
    case Op::DetectSet:
      return "DetectSet";
    case Op::GetPluginVersion:
      return "GetPluginVersion";
    case Op::IsConnected:
      return "IsConnected";
    case Op::MeasureStart:
      return "MeasureStart";
    case Op::MeasureStop:
      return "MeasureStop";
    case Op::MouseGet:
      return "MouseGet";
    case Op::MouseSet:
      return "MouseSet";
    case Op::Reset:
      return "Reset";
    case Op::SensorGet:
      return "SensorGet";
    case Op::SensorGetList:
      return "SensorGetList";
    case Op::SensorSet:
      return "SensorSet";
    case Op::SetDiameter:
      return "SetDiameter";
    case Op::SoundGet:
      return "SoundGet";
    case Op::SoundSet:
      return "SoundSet";
  }
  return "?";
}

template <typename T, std::size_t N>
T Pick(std::mt19937_64& random, const T (&values)[N]) {
  return values[std::uniform_int_distribution<std::size_t>(0, N - 1)(random)];
}

double Chance(std::mt19937_64& random) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(random);
}

// What an export answers when there is no scanner object: under another file name, and to a
// sink that calls the library while it unloads.
std::int32_t NoScannerValue(Op op) {
  switch (op) {
    case Op::ButtonModeAvailable:
      return 0x100000;
    case Op::IsConnected:
    case Op::SensorGetList:
    case Op::SensorSet:
    case Op::SoundGet:
      return 0;
    default:
      return 1;
  }
}

struct WeightedOp {
  Op op;
  double weight;
};

constexpr WeightedOp kHostOps[] = {
    {Op::MeasureStart, 12},
    {Op::MeasureStop, 5},
    {Op::Connect, 7},
    {Op::Reset, 3},
    {Op::SensorSet, 4},
    {Op::ButtonModeSet, 5},
    {Op::DetectSet, 2},
    {Op::MouseSet, 2},
    {Op::SoundSet, 2},
    {Op::SetDiameter, 2},
    {Op::SensorGet, 4},
    {Op::SensorGetList, 3},
    {Op::ButtonModeAvailable, 1},
    {Op::ButtonModeGet, 1},
    {Op::DetectGet, 1},
    {Op::GetPluginVersion, 1},
    {Op::IsConnected, 1},
    {Op::MouseGet, 1},
    {Op::SoundGet, 1},
    {Op::Config, 2},
};

// What a user does in the settings window: a few buttons, a check box, then OK, Cancel or the
// close box.
std::string DrawDialog(std::mt19937_64& random) {
  std::string text;
  const int presses = std::uniform_int_distribution<int>(0, 3)(random);
  for (int i = 0; i < presses; ++i) {
    text +=
        "press " + std::to_string(std::uniform_int_distribution<int>(1014, 1029)(random)) + "\n";
  }
  if (Chance(random) < 0.3) {
    text += "check " + std::to_string(std::uniform_int_distribution<int>(1027, 1029)(random)) +
            (Chance(random) < 0.5 ? " 0\n" : " 1\n");
  }
  constexpr const char* kEnds[] = {"ok\n", "cancel\n", "close\n"};
  return text + Pick(random, kEnds);
}

HostCall DrawCall(std::mt19937_64& random, bool withConfig) {
  static const std::discrete_distribution<std::size_t> kPick = [] {
    std::vector<double> weights;
    for (const WeightedOp& op : kHostOps) weights.push_back(op.weight);
    return std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
  }();
  std::discrete_distribution<std::size_t> pick = kPick;
  HostCall call;
  do {
    call.op = kHostOps[pick(random)].op;
  } while (call.op == Op::Config && !withConfig);
  const double pause = Chance(random);
  call.pauseMs = pause < 0.7    ? static_cast<int>(150 * Chance(random))
                 : pause < 0.95 ? 150 + static_cast<int>(650 * Chance(random))
                                : 800 + static_cast<int>(1700 * Chance(random));
  switch (call.op) {
    case Op::Connect: {
      constexpr std::int32_t kModes[] = {1, 1, 1, 1, 1, 1, 0, 0, 2, 2, 2, 3};
      call.value = Pick(random, kModes);
      break;
    }
    case Op::ButtonModeSet: {
      constexpr std::int32_t kModes[] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, -1};
      call.value = Pick(random, kModes);
      break;
    }
    case Op::DetectSet: {
      constexpr std::int32_t kValues[] = {0, 1, 1, 2};
      call.value = Pick(random, kValues);
      break;
    }
    case Op::MouseSet: {
      constexpr std::int32_t kValues[] = {4, 4, 0, 1};
      call.value = Pick(random, kValues);
      break;
    }
    case Op::SensorSet: {
      constexpr std::int32_t kTypes[] = {2, 2, 2, 2, 2, 1, 1, 3, 0, 5};
      call.value = Pick(random, kTypes);
      break;
    }
    case Op::SoundSet: {
      constexpr std::int32_t kValues[] = {0, 1, 2};
      call.value = Pick(random, kValues);
      break;
    }
    case Op::SetDiameter: {
      const float kDiameters[] = {-1.0f, 2.0f,  6.5f,
                                  0.0f,  60.0f, std::numeric_limits<float>::quiet_NaN()};
      call.diameter = Pick(random, kDiameters);
      break;
    }
    case Op::MeasureStart:
      call.sinkSeed = Chance(random) < 0.03 ? 0 : (random() | 1);
      break;
    case Op::Config:
      call.dialog = DrawDialog(random);
      break;
    default:
      break;
  }
  return call;
}

}  // namespace

std::string Describe(const HostCall& call) {
  std::string text = OpName(call.op);
  switch (call.op) {
    case Op::Connect:
    case Op::ButtonModeSet:
    case Op::DetectSet:
    case Op::MouseSet:
    case Op::SensorSet:
    case Op::SoundSet:
      return text + "(" + std::to_string(call.value) + ")";
    case Op::SetDiameter: {
      char number[32];
      std::snprintf(number, sizeof number, "(%g)", static_cast<double>(call.diameter));
      return text + number;
    }
    case Op::Config: {
      std::string typed = call.dialog;
      std::replace(typed.begin(), typed.end(), '\n', ';');
      return text + "() typing \"" + typed + "\"";
    }
    default:
      return text + "()";
  }
}

std::vector<HostCall> PlanHostThread(std::uint64_t seed, bool first, bool withConfig) {
  std::mt19937_64 random(seed);
  std::vector<HostCall> calls;
  if (first) {
    // As a host begins: connect, pick the laser and a button mode, and measure.
    HostCall call;
    call.op = Op::Connect;
    call.value = 1;
    calls.push_back(call);
    call.op = Op::SensorSet;
    call.value = 2;
    calls.push_back(call);
    call.op = Op::ButtonModeSet;
    call.value = static_cast<std::int32_t>(random() % 3);
    calls.push_back(call);
    call.op = Op::MeasureStart;
    call.sinkSeed = random() | 1;
    calls.push_back(call);
  }
  // Far more than a thread makes in a scenario: it stops at the scenario's end.
  while (calls.size() < 5000) calls.push_back(DrawCall(random, withConfig));
  return calls;
}

// ---- Sinks -----------------------------------------------------------------------------------

ScenarioSink::ScenarioSink(Host& host, int index, std::uint64_t seed, bool calm)
    : host_(host), index_(index), calm_(calm), random_(seed) {
  // Most sinks return at once; some block now and then, throw, or call the library back.
  constexpr double kBlockChances[] = {0.0, 0.0, 0.002, 0.01};
  constexpr int kBlockMostMs[] = {300, 3000};
  constexpr double kThrowChances[] = {0.0, 0.0, 0.0, 0.0005};
  constexpr double kCallChances[] = {0.0, 0.01, 0.03, 0.1};
  blockChance_ = Pick(random_, kBlockChances);
  blockMostMs_ = Pick(random_, kBlockMostMs);
  throwChance_ = Pick(random_, kThrowChances);
  callChance_ = Pick(random_, kCallChances);
}

void ScenarioSink::Started(std::int32_t result, long sequence) {
  startedAt_ = result == 0 ? sequence : -1;
  startResult_ = result;
}

void ScenarioSink::Close(double atMs) {
  closedAtMs_ = atMs;
  closed_ = true;
}

void ScenarioSink::NotifyButton(std::int32_t button) {
  if (button != 1) host_.timeline().Fail("S%d: NotifyButton(%d), not 1", index_, button);
  Called("NotifyButton", nullptr);
}

void ScenarioSink::Called(const char* name, const MeasureRecord* record) {
  ++calls_;
  if (inCall_.exchange(true)) {
    host_.timeline().Fail("S%d: %s begins while another call of this sink runs", index_, name);
  }
  struct Leave {
    std::atomic<bool>& inCall;
    ~Leave() { inCall = false; }
  } leave{inCall_};
  {
    std::lock_guard<std::mutex> guard(mutex_);
    CheckBegin(name);
    if (record != nullptr) CheckRecord(name, record);
  }
  if (!calm_) Conduct(name);
}

void ScenarioSink::CheckBegin(const char* name) {
  Timeline& timeline = host_.timeline();
  if (host_.Unloaded(*this)) timeline.Fail("S%d: %s after the unload returned", index_, name);
  if (startResult_ > 0) {
    timeline.Fail("S%d: %s although its MeasureStart returned %d", index_, name,
                  startResult_.load());
  }
  if (closed_) {
    timeline.Fail("S%d: %s begins after its MeasureStop returned at %.3f ms", index_, name,
                  closedAtMs_.load());
  }
  if (startedAt_ >= 0 && host_.LatestStart() > startedAt_) {
    timeline.Fail("S%d: %s begins after a later measurement started", index_, name);
  }
  const std::thread::id self = std::this_thread::get_id();
  if (last_.empty()) {
    thread_ = self;
    if (std::strcmp(name, "BeginMeasure") != 0) {
      timeline.Fail("S%d: the first call is %s, not BeginMeasure", index_, name);
    }
  } else {
    if (self != thread_) timeline.Fail("S%d: %s from a second thread", index_, name);
    if (std::strcmp(name, "BeginMeasure") == 0) {
      timeline.Fail("S%d: BeginMeasure again, after %s", index_, last_.c_str());
    }
  }
  const bool afterNotify = last_ == "NotifyButton";
  if ((std::strcmp(name, "OnButtonEvent2") == 0 || std::strcmp(name, "OnButtonEvent4") == 0) !=
      afterNotify) {
    timeline.Fail("S%d: %s after %s: a button event is NotifyButton then its own call", index_,
                  name, last_.c_str());
  }
  if (std::strcmp(name, "BeginPass") == 0) {
    if (inPass_) timeline.Fail("S%d: BeginPass inside a pass", index_);
    inPass_ = true;
  } else if (std::strcmp(name, "EndPass") == 0) {
    if (!inPass_) timeline.Fail("S%d: EndPass without a pass", index_);
    inPass_ = false;
  } else if (std::strcmp(name, "AddPassMeasure") == 0 && !inPass_) {
    timeline.Fail("S%d: AddPassMeasure without a pass", index_);
  }
  last_ = name;
}

// A stamped laser record holds one stripe: the stripe's number as its position's x and as every
// point's x, each point's index as its y, the sensor's standoff and tilt as its pose. A probe
// record holds the touched point as its position and, with automatic detection, as its point.
void ScenarioSink::CheckRecord(const char* name, const MeasureRecord* record) {
  ++records_;
  Timeline& timeline = host_.timeline();
  const int count = record->pointCount;
  if (count < 0 || count > 10000) {
    timeline.Fail("S%d: %s with %d points", index_, name, count);
    return;
  }
  if (count == 0) return;
  const double* position = record->position;
  const double* points = record->points;
  const double number = position[0];
  if (!(number >= 1.0) || number != std::floor(number)) {
    timeline.Fail("S%d: %s at x %g, which no stamped stripe or touch has", index_, name, number);
    return;
  }
  const bool probe = count == 1 && points[0] == position[0] && points[1] == position[1] &&
                     points[2] == position[2];
  if (!probe) {
    const double* direction = record->direction;
    if (position[1] != kLaserY || position[2] != kLaserZ || std::fabs(direction[0]) > 1e-9 ||
        std::fabs(direction[1] - std::sin(kTiltRadians)) > 1e-6 ||
        std::fabs(direction[2] + std::cos(kTiltRadians)) > 1e-6) {
      timeline.Fail("S%d: %s of stripe %.0f with the pose (%g %g %g) looking (%g %g %g)", index_,
                    name, number, position[0], position[1], position[2], direction[0], direction[1],
                    direction[2]);
      return;
    }
    for (int i = 0; i < count; ++i) {
      if (points[3 * i] != number || points[3 * i + 1] != i || points[3 * i + 2] != 0.0) {
        timeline.Fail("S%d: %s of stripe %.0f torn at point %d of %d: (%g %g %g)", index_, name,
                      number, i, count, points[3 * i], points[3 * i + 1], points[3 * i + 2]);
        return;
      }
    }
  }
  double& last = lastNumber_[probe ? 1 : 0];
  if (number < last) {
    timeline.Fail("S%d: %s of %s %.0f after %.0f", index_, name, probe ? "touch" : "stripe", number,
                  last);
  }
  last = number;
}

void ScenarioSink::Conduct(const char* name) {
  double draw;
  int blockMs;
  HostCall call;
  std::uint64_t nextSeed;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    draw = Chance(random_);
    blockMs = std::uniform_int_distribution<int>(10, blockMostMs_)(random_);
    const double which = Chance(random_);
    nextSeed = random_() | 1;
    // MeasureStop most often, and stop then start; the link's own calls; and the queries.
    if (which < 0.3) {
      call.op = Op::MeasureStop;
    } else if (which < 0.45) {
      call.op = Op::MeasureStart;  // after a stop, below
      call.sinkSeed = nextSeed;
    } else if (which < 0.55) {
      call.op = Op::Reset;
    } else if (which < 0.65) {
      call.op = Op::SoundSet;
      call.value = static_cast<std::int32_t>(nextSeed % 3);
    } else if (which < 0.75) {
      call.op = Op::SensorGet;
    } else if (which < 0.8) {
      call.op = Op::Connect;
      call.value = static_cast<std::int32_t>((nextSeed >> 8) % 3);
    } else if (which < 0.85) {
      call.op = Op::MouseSet;
      call.value = 4;
    } else if (which < 0.88) {
      call.op = Op::SensorGetList;
    } else if (which < 0.91) {
      call.op = Op::SensorSet;
      call.value = static_cast<std::int32_t>(1 + (nextSeed >> 8) % 3);
    } else {
      constexpr Op kQuick[] = {Op::IsConnected, Op::SoundGet, Op::ButtonModeGet, Op::MouseGet,
                               Op::DetectGet};
      call.op = kQuick[nextSeed % 5];
    }
  }
  bool act =
      draw < callChance_ + blockChance_ + throwChance_ && draw >= blockChance_ + throwChance_;
  if (draw < blockChance_) {
    host_.timeline().Note("S%d: blocks %d ms in %s", index_, blockMs, name);
    std::this_thread::sleep_for(std::chrono::milliseconds(blockMs));
    // A host that waited for something often acts on it: the library may be stopping, or
    // unloading, meanwhile.
    act = blockMs % 2 == 0;
  } else if (draw < blockChance_ + throwChance_) {
    host_.timeline().Note("S%d: throws from %s", index_, name);
    throw std::runtime_error("the host's sink fails");
  }
  if (!act || !host_.EnterFromSink()) return;
  const std::string who = "S" + std::to_string(index_);
  if (call.op == Op::MeasureStart) {
    HostCall stop;
    stop.op = Op::MeasureStop;
    host_.Call(stop, who);
  }
  host_.Call(call, who);
  host_.LeaveFromSink();
}

// ---- Host ------------------------------------------------------------------------------------

Host::Host(PluginLibrary& plugin, ScenarioConsole& console, Timeline& timeline, double factor,
           double slackMs, int dialogInput)
    : plugin_(plugin),
      console_(console),
      timeline_(timeline),
      factor_(factor),
      slackMs_(slackMs),
      dialogInput_(dialogInput) {}

double Host::BoundMs(const HostCall& call) {
  // The guide's table: the exports that only read or store a setting, 1 s; the others their sum
  // of time limits on the longest path.
  switch (call.op) {
    case Op::Connect:
      return call.value == 1 ? 140000 : call.value == 0 ? 41000 : call.value == 2 ? 180000 : 1000;
    case Op::Reset:
      return 180000;
    case Op::MouseSet:
    case Op::SoundSet:
      return 140000;
    case Op::SensorGetList:
      return 150000;
    case Op::SensorGet:
      return 200000;
    case Op::MeasureStart:
      return 282600;
    case Op::MeasureStop:
      return 175000;
    case Op::Config:
      // The window's return, and each button's command as MouseSet's.
      return 1000 + 140000.0 * static_cast<double>(
                                   std::count(call.dialog.begin(), call.dialog.end(), 'p'));
    default:
      return 1000;
  }
}

ScenarioSink* Host::NewSink(std::uint64_t seed, bool calm) {
  std::lock_guard<std::mutex> guard(mutex_);
  sinks_.push_back(
      std::make_unique<ScenarioSink>(*this, static_cast<int>(sinks_.size()), seed, calm));
  return sinks_.back().get();
}

void Host::MarkUnloaded() {
  std::lock_guard<std::mutex> guard(mutex_);
  unloadedSinks_ = static_cast<int>(sinks_.size());
  unloading_ = false;
}

std::vector<ScenarioSink*> Host::Sinks() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<ScenarioSink*> sinks;
  for (const auto& sink : sinks_) sinks.push_back(sink.get());
  return sinks;
}

bool Host::SinkInLibrary() {
  std::lock_guard<std::mutex> guard(mutex_);
  return inFromSinks_ > 0;
}

bool Host::EnterFromSink() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!gateOpen_) return false;
  ++inFromSinks_;
  return true;
}

void Host::LeaveFromSink() {
  std::lock_guard<std::mutex> guard(mutex_);
  --inFromSinks_;
}

void Host::ShutSinkGate() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    gateOpen_ = false;
  }
  // Each call inside is held to its bound by the watchdog.
  static_cast<void>(WaitUntil(
      [this] {
        std::lock_guard<std::mutex> guard(mutex_);
        return inFromSinks_ == 0;
      },
      24 * 3600 * 1000, 10));
}

Host::Figures Host::figures() {
  std::lock_guard<std::mutex> guard(mutex_);
  return figures_;
}

long Host::Watch(const std::string& who, const std::string& text, double limitMs) {
  const long id = nextCall_++;
  std::lock_guard<std::mutex> guard(mutex_);
  flights_[id] = {who, text, ScenarioClock::now(), limitMs, false};
  return id;
}

void Host::Unwatch(long id) {
  std::lock_guard<std::mutex> guard(mutex_);
  flights_.erase(id);
}

bool Host::NoneOverdue() {
  std::lock_guard<std::mutex> guard(mutex_);
  bool none = true;
  for (auto& entry : flights_) {
    Flight& flight = entry.second;
    const double ms =
        timeline_.MsSinceStart(ScenarioClock::now()) - timeline_.MsSinceStart(flight.start);
    if (ms <= flight.limitMs) continue;
    none = false;
    if (!flight.reported) {
      timeline_.Fail("%s #%ld %s still runs after %.0f ms, past its bound", flight.who.c_str(),
                     entry.first, flight.text.c_str(), ms);
      flight.reported = true;
    }
  }
  return none;
}

std::int32_t Host::Call(const HostCall& call, const std::string& who, ScenarioSink** made) {
  const std::string text = Describe(call);
  const double limitMs = BoundMs(call) * factor_ + slackMs_;
  const bool fromSink = who[0] == 'S';
  const long id = Watch(who, text, limitMs);
  timeline_.Note("%s #%ld %s", who.c_str(), id, text.c_str());

  const bool alone = inFlight_++ == 0;
  const long stamp = ++callStamp_;
  const ScenarioClock::time_point start = ScenarioClock::now();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++figures_.calls;
    if (fromSink) ++figures_.fromSinks;
    if (call.op == Op::ButtonModeSet) buttonModes_.insert(call.value);
    if (call.op == Op::DetectSet) detectModes_.insert(call.value);
    if (call.op == Op::SensorSet) sensorTypes_.insert(call.value);
  }
  // A measurement's thread sends commands of its own only on a press of button 1 (button mode
  // 2), at its next cycle after the sink call it may be in.
  constexpr double kPressTakenMs = 4000;
  bool measuring = false;
  for (ScenarioSink* sink : Sinks()) measuring = measuring || sink->Open();
  const bool pressesAway = timeline_.Now() - console_.LastToggleMs() > kPressTakenMs;
  const double toggleBefore = console_.LastToggleMs();
  const long scanStartsBefore = call.op == Op::MeasureStart ? console_.ScanStarts() : 0;
  const long sequence = sequence_++;

  ScenarioSink* sink = nullptr;
  const std::int32_t result = Invoke(call, who, &sink);
  // With no other call under way and no measurement's thread that could have sent a command,
  // nothing but this call moved the link.
  std::int32_t connectedAfter = -1;
  if (call.op == Op::Connect && (call.value == 1 || call.value == 2) && result == 0) {
    connectedAfter = plugin_.IsConnected();
  }
  const bool quiet = alone && callStamp_ == stamp &&
                     (!measuring || (pressesAway && console_.LastToggleMs() == toggleBefore));
  const double ms = timeline_.MsSinceStart(ScenarioClock::now()) - timeline_.MsSinceStart(start);
  --inFlight_;
  ++callStamp_;
  Unwatch(id);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    double& longest = figures_.longestMs[call.op];
    longest = std::max(longest, ms);
  }
  timeline_.Note("%s #%ld %s = %d after %.1f ms", who.c_str(), id, text.c_str(),
                 static_cast<int>(result), ms);

  CheckResult(call, result, text, unloading_);
  if (ms > limitMs) {
    timeline_.Fail("%s #%ld %s took %.0f ms, past its bound of %.0f ms", who.c_str(), id,
                   text.c_str(), ms, limitMs);
  }
  if (connectedAfter == 0 && quiet) {
    timeline_.Fail("%s #%ld %s returned 0 and IsConnected is 0 right after", who.c_str(), id,
                   text.c_str());
  }
  if (call.op == Op::MeasureStart) {
    const long startedSeq = result == 0 ? sequence_++ : -1;
    if (sink != nullptr) sink->Started(result, startedSeq);
    if (result == 0) {
      long latest = latestStart_;
      while (latest < startedSeq && !latestStart_.compare_exchange_weak(latest, startedSeq)) {
      }
      // The console was told to scan: it received the scan start during the call, or it still
      // scans from an earlier one.
      if (console_.ScanStarts() == scanStartsBefore && !console_.Scanning()) {
        timeline_.Fail("%s #%ld %s returned 0, but no console received a scan start", who.c_str(),
                       id, text.c_str());
      }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    ++figures_.starts;
    if (result == 0) ++figures_.startsAccepted;
  }
  if (call.op == Op::MeasureStop && result == 0) Stopped(sequence);
  if (made != nullptr) *made = sink;
  return result;
}

void Host::Stopped(long sequence) {
  // Every measurement started before this stop began has ended: no sink call may begin now.
  const double now = timeline_.Now();
  for (ScenarioSink* started : Sinks()) {
    if (started->StartedAt() >= 0 && started->StartedAt() < sequence && started->Open()) {
      started->Close(now);
    }
  }
}

std::int32_t Host::Invoke(const HostCall& call, const std::string& who, ScenarioSink** sink) {
  switch (call.op) {
    case Op::ButtonModeAvailable:
      return plugin_.ButtonModeAvailable();
    case Op::ButtonModeGet:
      return plugin_.ButtonModeGet();
    case Op::ButtonModeSet:
      return plugin_.ButtonModeSet(call.value);
    case Op::Config: {
      // What the user will type; a window already open is raised instead, and what was typed
      // waits for the next one.
      const ssize_t written = ::write(dialogInput_, call.dialog.data(), call.dialog.size());
      if (written != static_cast<ssize_t>(call.dialog.size())) {
        timeline_.Note("%s: the dialog's input is full", who.c_str());
      }
      return plugin_.Config();
    }
    case Op::Connect:
      return plugin_.Connect(call.value);
    case Op::DetectGet:
      return plugin_.DetectGet();
    case Op::DetectSet:
      return plugin_.DetectSet(call.value);
    case Op::GetPluginVersion: {
      std::int32_t first = 0x5a5a5a5a, second = 0x5a5a5a5a;
      std::int32_t result = plugin_.GetPluginVersion(&first, &second);
      if (first != 0x5a5a5a5a || second != 0x5a5a5a5a) {
        timeline_.Fail("%s: GetPluginVersion wrote through its arguments", who.c_str());
      }
      return result;
    }
    case Op::IsConnected:
      return plugin_.IsConnected();
    case Op::MeasureStart:
      if (call.sinkSeed != 0) *sink = NewSink(call.sinkSeed, call.calmSink);
      return plugin_.MeasureStart(*sink);
    case Op::MeasureStop:
      return plugin_.MeasureStop();
    case Op::MouseGet:
      return plugin_.MouseGet();
    case Op::MouseSet:
      return plugin_.MouseSet(call.value);
    case Op::Reset:
      return plugin_.Reset();
    case Op::SensorGet: {
      std::int32_t type = -7, kind = -7;
      double radius = -7.0;
      std::int32_t result = plugin_.SensorGet(&type, &radius, &kind);
      std::lock_guard<std::mutex> guard(mutex_);
      if (result == 0 && (sensorTypes_.count(type) == 0 || (kind != 1 && kind != 4))) {
        timeline_.Fail("%s: SensorGet gave type %d, kind %d", who.c_str(), type, kind);
      }
      return result;
    }
    case Op::SensorGetList: {
      SensorEntry entries[5];
      std::memset(entries, 0x5a, sizeof entries);
      std::int32_t count = -7;
      std::int32_t result = plugin_.SensorGetList(entries, 0, &count);
      if (result == 0 && unloading_) return result;
      bool whole = count == 3 && entries[3].sensorType == 0x5a5a5a5a;
      for (int i = 0; i < 3 && whole; ++i) {
        whole = entries[i].sensorType == i + 1 && entries[i].sensorKind == (i == 2 ? 1 : 4) &&
                entries[i].probeRadius == (i == 2 ? -1.0 : 0.0) &&
                std::memchr(entries[i].label, '\0', SENSOR_LABEL_SIZE) != nullptr;
      }
      if (!whole) timeline_.Fail("%s: SensorGetList filled its entries wrongly", who.c_str());
      return result;
    }
    case Op::SensorSet:
      return plugin_.SensorSet(call.value);
    case Op::SetDiameter:
      return plugin_.SetDiameter(call.diameter);
    case Op::SoundGet:
      return plugin_.SoundGet();
    case Op::SoundSet:
      return plugin_.SoundSet(call.value);
  }
  return -1;
}

void Host::CheckResult(const HostCall& call, std::int32_t result, const std::string& text,
                       bool unloading) {
  if (unloading && result == NoScannerValue(call.op)) return;
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    switch (call.op) {
      case Op::ButtonModeAvailable:
        known = result == 5;
        break;
      case Op::ButtonModeGet:
        known = buttonModes_.count(result) != 0;
        break;
      case Op::DetectGet:
        known = detectModes_.count(result) != 0;
        break;
      case Op::Connect:
        known = result == 0 || (result == 2 && (call.value == 1 || call.value == 2));
        break;
      case Op::Config:
      case Op::MeasureStart:
      case Op::SensorGet:
        known = result == 0 || result == 2;
        break;
      case Op::MeasureStop:
      case Op::IsConnected:
      case Op::MouseGet:
      case Op::SoundGet:
        known = result == 0 || result == 1;
        break;
      case Op::SensorGetList:
        known = result == 3;
        break;
      default:
        known = result == 0;
        break;
    }
  }
  if (!known) timeline_.Fail("%s returned %d, which it never answers", text.c_str(), result);
}
