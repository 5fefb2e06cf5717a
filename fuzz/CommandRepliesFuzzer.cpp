// libFuzzer target: a console on 127.0.0.1 port 2003 that answers the plug-in's handshake and
// sensor queries with the fuzzer's bytes, whole, cut short, overlong or not at all. Runs in a
// network namespace of its own (tests/netns.sh): the port is fixed.
//
// Input: one flag byte (bit 0: laser sensor active at the start, bit 1: a second handshake at the
// end, bit 2: a sound setting sent after the queries), then the console's script: for each
// command that has a reply, a control byte and the reply's bytes. Control byte c: c % 4 of 0 or
// 1 sends the whole reply; 2 sends (c / 4) % size bytes of it and hangs up; 3 sends size +
// (c / 4) % 8 bytes, which puts every later reply out of step. At the end of the script the
// console hangs up, so no read of the plug-in waits for its time-out.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "HelperThread.h"
#include "datachannel/DataChannel.h"
#include "link/CommandChannel.h"
#include "shell/KvtScan3DLumora.h"
#include "wire/CommandCodes.h"

namespace {

// Below the plug-in's 10-second receive time-out: a longer input means a read that the console
// never answered.
constexpr auto kIterationLimit = std::chrono::seconds(8);

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_command_replies: %s\n", what);
  std::abort();
}

int ReplySize(std::int32_t code) {
  switch (code) {
    case CMD_HANDSHAKE_A:
    case CMD_HANDSHAKE_B:
    case CMD_SOUND_QUERY:
    case CMD_HANDSHAKE_C:
    case CMD_SENSOR_QUERY:
      return 4;
    case CMD_PROBE_QUERY:
      return PROBE_REPLY_SIZE;
    default:
      return 0;
  }
}

bool TakesArgument(std::int32_t code) {
  return code == CMD_MOUSE_SET || code == CMD_SOUND_SET || code == CMD_MODEL_START;
}

// One reply as the console sent it. inStep: every reply before it on its connection had exactly
// the length asked for and it had at least that, so the plug-in reads its first bytes as the
// reply.
struct Reply {
  std::int32_t code;
  bool inStep;
  std::vector<std::uint8_t> bytes;
};

class FakeConsole {
 public:
  FakeConsole(int listener, const std::uint8_t* script, std::size_t size)
      : listener_(listener), script_(script), size_(size) {}

  // Serves connections one at a time until stop() is seen; then closes what is open.
  void Run(int stopFd) {
    auto deadline = std::chrono::steady_clock::now() + kIterationLimit * 2;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd waits[3] = {{connection_, POLLIN, 0}, {listener_, POLLIN, 0}, {stopFd, POLLIN, 0}};
      int ready = ::poll(waits, 3, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      if (connection_ >= 0 && waits[0].revents != 0) ReadCommands();
      if ((waits[1].revents & POLLIN) != 0) Accept();
      if ((waits[2].revents & POLLIN) != 0) break;
    }
    Hangup();
    // A connection the plug-in made and gave up before it was accepted must not meet the
    // next input.
    for (int stale; (stale = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      ::close(stale);
    }
  }

  std::size_t ReplyCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_.size();
  }

  // The replies sent from index first on.
  std::vector<Reply> RepliesFrom(std::size_t first) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= replies_.size()) return {};
    return std::vector<Reply>(replies_.begin() + static_cast<std::ptrdiff_t>(first),
                              replies_.end());
  }

 private:
  void Accept() {
    int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) return;
    // Each reply leaves at once, as the plug-in's commands do.
    int yes = 1;
    ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    // The plug-in connects again only after closing its old connection.
    Hangup();
    connection_ = accepted;
    inStep_ = true;
    pending_.clear();
  }

  void Hangup() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

  void ReadCommands() {
    unsigned char bytes[4096];
    ssize_t got = ::recv(connection_, bytes, sizeof bytes, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      Hangup();
      return;
    }
    pending_.insert(pending_.end(), bytes, bytes + got);
    std::size_t used = 0;
    while (pending_.size() - used >= 4) {
      std::int32_t code = GetInt32(&pending_[used]);
      std::size_t length = TakesArgument(code) ? 8 : 4;
      if (pending_.size() - used < length) break;
      used += length;
      int size = ReplySize(code);
      if (size > 0 && !Answer(code, static_cast<std::size_t>(size))) {
        Hangup();
        return;
      }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  }

  // Sends the reply the script gives; false when the console hangs up after it.
  bool Answer(std::int32_t code, std::size_t size) {
    if (at_ >= size_) return false;
    const std::uint8_t control = script_[at_++];
    std::size_t count = size;
    bool hangup = false;
    if (control % 4 == 2) {
      count = (control / 4u) % size;
      hangup = true;
    } else if (control % 4 == 3) {
      count = size + (control / 4u) % 8;
    }
    if (count > size_ - at_) {
      count = size_ - at_;
      hangup = true;
    }
    // An overlong reply is still read whole; the replies after it are out of step.
    Reply reply{code, inStep_ && count >= size, {script_ + at_, script_ + at_ + count}};
    at_ += count;
    inStep_ = inStep_ && count == size;
    // Recorded before it is sent: the plug-in's call that reads it ends only after the send.
    std::size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = replies_.size();
      replies_.push_back(reply);
    }
    if (count > 0 && ::send(connection_, reply.bytes.data(), count, MSG_NOSIGNAL) !=
                         static_cast<ssize_t>(count)) {
      std::lock_guard<std::mutex> lock(mutex_);
      replies_[index].inStep = false;
      return false;
    }
    return !hangup;
  }

  const int listener_;
  const std::uint8_t* const script_;
  const std::size_t size_;
  std::size_t at_ = 0;
  int connection_ = -1;
  bool inStep_ = true;
  std::vector<std::uint8_t> pending_;
  std::mutex mutex_;
  std::vector<Reply> replies_;
};

struct Fixture {
  KvtScan3DLumora* scanner;
  int listener;
  std::string folder;
  HelperThread* console;
};

Fixture& Fixed() {
  static Fixture fixture;
  return fixture;
}

void RemoveFolder() {
  ::unlink((Fixed().folder + "/Debug_Lumora.txt").c_str());
  ::rmdir(Fixed().folder.c_str());
}

// The one reply with this code among replies, or null when there is none or more than one.
const Reply* OnlyReply(const std::vector<Reply>& replies, std::int32_t code) {
  const Reply* found = nullptr;
  for (const Reply& reply : replies) {
    if (reply.code != code) continue;
    if (found != nullptr) return nullptr;
    found = &reply;
  }
  return found;
}

void CheckSensorGet(KvtScan3DLumora& scanner, FakeConsole& console) {
  std::size_t first = console.ReplyCount();
  std::int32_t type = -1;
  std::int32_t kind = -1;
  double radius = -1.0;
  std::int32_t result = scanner.SensorGet(&type, &radius, &kind);
  if (result != 0) return;
  Require(type == SENSOR_TYPE_AUTOMATIC, "automatic detection answered another sensor type");
  Require(kind == SENSOR_KIND_LASER || kind == SENSOR_KIND_PROBE, "unknown sensor kind");
  std::vector<Reply> replies = console.RepliesFrom(first);
  const Reply* sensor = OnlyReply(replies, CMD_SENSOR_QUERY);
  if (sensor != nullptr && sensor->inStep) {
    bool laser = GetInt32(sensor->bytes.data()) != 0;
    Require(kind == (laser ? SENSOR_KIND_LASER : SENSOR_KIND_PROBE),
            "sensor kind differs from the console's reply");
    Require(scanner.Store().LaserActive() == laser, "laser flag differs from the console's reply");
  }
}

void CheckSensorGetList(KvtScan3DLumora& scanner, FakeConsole& console) {
  std::size_t first = console.ReplyCount();
  SensorEntry entries[3];
  std::memset(entries, 0x55, sizeof entries);
  std::int32_t count = -1;
  Require(scanner.SensorGetList(entries, 0, &count) == 3 && count == 3, "not three sensors");
  for (const SensorEntry& entry : entries) {
    Require(std::memchr(entry.label, 0, SENSOR_LABEL_SIZE) != nullptr, "label not terminated");
  }
  std::vector<Reply> replies = console.RepliesFrom(first);
  const Reply* probe = OnlyReply(replies, CMD_PROBE_QUERY);
  if (probe != nullptr && probe->inStep) {
    float diameter = GetFloat32(probe->bytes.data() + PROBE_DIAMETER_OFFSET);
    char expected[SENSOR_LABEL_SIZE];
    if (diameter > 0.0f && diameter < 50.0f) {
      std::snprintf(expected, sizeof expected, "Touch Probe :diam. %f \n",
                    static_cast<double>(diameter));
    } else {
      std::snprintf(expected, sizeof expected, "Touch Probe :diam. unknown \n");
    }
    Require(std::strcmp(entries[2].label, expected) == 0,
            "probe label differs from the console's diameter");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Fixture& fixture = Fixed();
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvt-fuzz-command-XXXXXX";
  Require(::mkdtemp(pattern.data()) != nullptr, "cannot create a temporary folder");
  fixture.folder = pattern;
  std::atexit(RemoveFolder);
  // No registry: a reconnect stops at reading "AppDir", so it never starts a console program.
  ::setenv("KVT_REGISTRY", (fixture.folder + "/no-registry.reg").c_str(), 1);

  fixture.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(fixture.listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(COMMAND_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fixture.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fixture.listener, 16) != 0) {
    std::fprintf(stderr, "fuzz_command_replies: port 2003 is taken; run in tests/netns.sh\n");
    std::exit(1);
  }

  std::int32_t status = 0;
  // Never destroyed: its teardown would talk to the console after the last input.
  fixture.scanner = new KvtScan3DLumora(&status);
  fixture.scanner->Link().Log().SetDirectory(fixture.folder.c_str());
  fixture.console = new HelperThread;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Fixture& fixture = Fixed();
  KvtScan3DLumora& scanner = *fixture.scanner;
  const std::uint8_t flags = data[0];
  // Each input starts unconnected (the last one disconnected), from a new library's state.
  Require(scanner.IsConnected() == 0, "still connected from the last input");
  scanner.Store().ScanEnded();
  scanner.Store().SetLaserActive((flags & 1) != 0);
  scanner.Settings().SetSound(0);
  scanner.Settings().SetProbeDiameter(0.0f);

  int stop[2];
  Require(::pipe2(stop, O_CLOEXEC) == 0, "no pipe");
  FakeConsole console(fixture.listener, data + 1, size - 1);
  fixture.console->Start([&] { console.Run(stop[0]); });
  auto start = std::chrono::steady_clock::now();

  std::int32_t connected = scanner.Connect(2);
  if (connected == 0) {
    // The handshake's third reply is the sound setting, when it came whole and in step.
    std::vector<Reply> replies = console.RepliesFrom(0);
    const Reply* sound = OnlyReply(replies, CMD_SOUND_QUERY);
    if (sound != nullptr && sound->inStep) {
      Require(scanner.Settings().Sound() == GetInt32(sound->bytes.data()),
              "sound setting differs from the console's reply");
    }
  }
  scanner.SensorSet(SENSOR_TYPE_AUTOMATIC);
  CheckSensorGet(scanner, console);
  CheckSensorGetList(scanner, console);
  if ((flags & 4) != 0) scanner.SoundSet(1);
  if ((flags & 2) != 0) {
    // Whichever way the reconnect ends, the query after it must be answered in step.
    static_cast<void>(scanner.Connect(2));
    CheckSensorGet(scanner, console);
  }
  static_cast<void>(scanner.Connect(0));

  auto took = std::chrono::steady_clock::now() - start;
  char byte = 0;
  Require(::write(stop[1], &byte, 1) == 1, "cannot stop the console");
  fixture.console->Wait(kIterationLimit * 2 + std::chrono::seconds(10));
  ::close(stop[0]);
  ::close(stop[1]);
  Require(took < kIterationLimit, "a reply read waited for its time-out");
  Require(!scanner.Link().CommandChannelOpen(), "command socket left open");
  Require(!scanner.Data().Started(), "the connection sequence got past the registry");
  return 0;
}
