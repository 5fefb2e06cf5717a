// libFuzzer target: arbitrary bytes as the console sends them on the data channel, served by the
// plug-in's own connection loop over one end of a socket pair.
//
// Input: one flag byte (bit 0: laser sensor active, bit 1: automatic detection), then the byte
// stream of the connection.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HelperThread.h"
#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"

namespace {

// The longest one input may take: the server reads a few kilobytes and answers each message.
constexpr auto kIterationLimit = std::chrono::seconds(20);

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_data_channel: %s\n", what);
  std::abort();
}

struct Fixture {
  MeasurementStore* store;
  DataChannel* channel;
  DataChannelState* state;
  HelperThread* peer;
};

// One store and one channel for the whole run, as the thread has them for the library's life.
Fixture& Fixed() {
  static Fixture fixture = [] {
    auto* store = new MeasurementStore;
    auto* lifecycle = new Lifecycle;
    return Fixture{store, new DataChannel(*lifecycle, *store), new DataChannelState,
                   new HelperThread};
  }();
  return fixture;
}

// Each input starts from the state of a new library, so that a finding replays from its file.
void Reset(Fixture& fixture, std::uint8_t flags) {
  DataChannelState& state = *fixture.state;
  state.storedHeader = PoseHeader{};
  std::memset(state.pointBuffer, 0, sizeof state.pointBuffer);
  state.endPauseMs = 0;
  MeasurementStore& store = *fixture.store;
  store.ScanEnded();
  store.ClearDataReady();
  store.ClearTrigger();
  store.ClearButtonEvent();
  {
    MeasurementStore::Message message(store);
    message.setPointCount(0);
  }
  store.SetLaserActive((flags & 1) != 0);
  store.SetAutoDetect((flags & 2) != 0);
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The console's end: writes the stream, shuts its sending side down, and reads the answers
// until the server closes, so that neither side waits on a full buffer. False when the server
// took longer than the limit; the peer is then shut down so the server's reads end.
bool RunPeer(int peer, const std::uint8_t* data, std::size_t size) {
  ::fcntl(peer, F_SETFL, ::fcntl(peer, F_GETFL) | O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + kIterationLimit;
  std::size_t written = 0;
  bool writing = true;
  if (size == 0) {
    ::shutdown(peer, SHUT_WR);
    writing = false;
  }
  unsigned char answers[16384];
  for (;;) {
    pollfd wait{peer, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    int ready = ::poll(&wait, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::shutdown(peer, SHUT_RDWR);
      return false;
    }
    if ((wait.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t got = ::recv(peer, answers, sizeof answers, 0);
      // End of stream, or a reset: the server has closed its end.
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    if (writing && (wait.revents & POLLOUT) != 0) {
      ssize_t put = ::send(peer, data + written, size - written, MSG_NOSIGNAL);
      if (put > 0) written += static_cast<std::size_t>(put);
      // The server stopped reading and closed before taking everything (DATA_END, FINAL).
      if (put < 0 && errno != EAGAIN && errno != EINTR) writing = false;
      if (written == size) {
        ::shutdown(peer, SHUT_WR);
        writing = false;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Fixture& fixture = Fixed();
  Reset(fixture, data[0]);

  int pair[2];
  Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "no socket pair");
  bool ended = false;
  fixture.peer->Start([&] { ended = RunPeer(pair[1], data + 1, size - 1); });
  fixture.channel->Serve(pair[0], *fixture.state);
  // As the data thread closes a connection it has served.
  TcpClose(pair[0]);
  fixture.peer->Wait(kIterationLimit + std::chrono::seconds(10));
  ::close(pair[1]);
  Require(ended, "the server did not finish with the connection within 20 seconds");

  // What the host may read after any stream: a point count the point buffer holds.
  const MeasurementStore& store = *fixture.store;
  const std::int32_t count = store.PointCount();
  Require(count >= 0 && count <= MAX_BLOCK_POINTS, "point count outside 0 to 10000");
  // Without the laser only probe points are handed over: one, and only in automatic detection.
  if (!store.LaserActive()) {
    Require(count <= (store.AutoDetect() ? 1 : 0), "more points than a probe message hands over");
  }
  Require(store.TriggerToggle() == 0 || store.TriggerToggle() == 1, "toggle not 0 or 1");
  return 0;
}
