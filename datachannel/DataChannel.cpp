// The data-channel server thread and its message handling.
#include "datachannel/DataChannel.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "datachannel/ConnectionReader.h"
#include "datachannel/MeasurementStore.h"
#include "datachannel/PoseConversion.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "wire/WireRecords.h"

platform::Lock g_dataChannelLock;
SocketHandle g_listenSocket = platform::kInvalidSocket;
SocketHandle g_acceptedSocket = platform::kInvalidSocket;
platform::Lock g_serverThreadLock;
platform::Thread* g_serverThread = nullptr;

namespace {

// Room for the accepted socket's receive buffer: two full point blocks. A small buffer throttles
// loopback transfers to a fraction of what a streaming sensor delivers.
constexpr int kAcceptedReceiveBuffer = 256 * 1024;
constexpr int kAcceptedSendBuffer = 8192;
constexpr int kListenBacklog = 5;
constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

// What the thread stores into; null once teardown has taken the store away.
MeasurementStore* g_servedStore KVT_GUARDED_BY(g_dataChannelLock) = nullptr;
bool g_stopping KVT_GUARDED_BY(g_dataChannelLock) = false;
// Raised once Windows Sockets runs, by whichever thread started it first; never lowered, since
// the sockets are not shut down.
std::atomic<bool> g_socketsStarted{false};

constexpr unsigned kEndPausePollMs = 10;
// The data thread's end, woken, on a starved machine.
constexpr std::uint32_t kDataThreadEndBoundMs = 10000;

// Teardown has begun.
bool Stopping() {
  platform::LockGuard guard(DataChannelLock());
  return g_stopping;
}

// Runs change(store) under the channel lock while a store is still served.
template <typename Change>
void WithStore(Change change) {
  platform::LockGuard guard(DataChannelLock());
  if (g_servedStore != nullptr) change(*g_servedStore);
}

// The answers' sends are not looked at: a broken connection shows at the next read of a type.
void SendBytes(SocketHandle socket, const unsigned char* bytes, int length) {
  int count = 0;
  static_cast<void>(SendAll(socket, bytes, length, count));
}

void SendInt32(SocketHandle socket, std::int32_t value) {
  unsigned char bytes[4];
  PutInt32(bytes, value);
  SendBytes(socket, bytes, sizeof bytes);
}

// The accepted socket, for the answers, and its read-ahead, for the messages.
struct Connection {
  SocketHandle socket;
  ConnectionReader reader;
};

// clang-format off
enum class [[nodiscard]] Block { Received, Dropped, Broken };
// clang-format on

// Receives the point block that follows a point message into state.pointBuffer. A count outside
// 0 to 10000 cannot be held: its bytes are read and dropped so the stream stays in step (a
// negative count is no points at all).
Block ReceivePointBlock(Connection& connection, DataChannelState& state) {
  const std::int32_t points = state.storedHeader.numPoints;
  if (points >= 0 && points <= MAX_BLOCK_POINTS) {
    return connection.reader.Read(state.pointBuffer, points * POINT_WIRE_SIZE) ? Block::Received
                                                                               : Block::Broken;
  }
  std::int64_t rest = points > 0 ? static_cast<std::int64_t>(points) * POINT_WIRE_SIZE : 0;
  while (rest > 0) {
    int piece = rest < static_cast<std::int64_t>(sizeof state.pointBuffer)
                    ? static_cast<int>(rest)
                    : static_cast<int>(sizeof state.pointBuffer);
    if (!connection.reader.Read(state.pointBuffer, piece)) return Block::Broken;
    rest -= piece;
  }
  return Block::Dropped;
}

// A laser stripe's block, used where it lies in the read-ahead (*block): the stripes are the
// stream's bulk, and a copy of each would cost as much as its conversion. The first point still
// goes to state.pointBuffer, where a later probe message without points finds it as it would
// after a copy.
Block TakeLaserBlock(Connection& connection, DataChannelState& state, const unsigned char** block) {
  const std::int32_t points = state.storedHeader.numPoints;
  if (points < 0 || points > MAX_BLOCK_POINTS) return ReceivePointBlock(connection, state);
  const int length = points * POINT_WIRE_SIZE;
  *block = connection.reader.Take(length, state.pointBuffer);
  if (*block == nullptr) return Block::Broken;
  if (*block != state.pointBuffer) {
    std::memcpy(state.pointBuffer, *block,
                static_cast<std::size_t>(length < POINT_WIRE_SIZE ? length : POINT_WIRE_SIZE));
  }
  return Block::Received;
}

// One begin or end notice: payload, acknowledgement, reply; the caller then makes the change.
bool AnswerText(Connection& connection, std::int32_t ack) {
  unsigned char payload[TEXT_RECORD_SIZE];
  if (!connection.reader.Read(payload, sizeof payload)) return false;
  unsigned char reply[TEXT_REPLY_SIZE];
  EncodeTextReply(DecodeTextRecord(payload), reply);
  SendInt32(connection.socket, ack);
  SendBytes(connection.socket, reply, sizeof reply);
  return true;
}

bool AnswerTextValue(Connection& connection, std::int32_t ack) {
  unsigned char payload[TEXT_VALUE_RECORD_SIZE];
  if (!connection.reader.Read(payload, sizeof payload)) return false;
  unsigned char reply[TEXT_VALUE_REPLY_SIZE];
  EncodeTextValueReply(DecodeTextValueRecord(payload), reply);
  SendInt32(connection.socket, ack);
  SendBytes(connection.socket, reply, sizeof reply);
  return true;
}

bool HandleButton(Connection& connection) {
  unsigned char payload[BUTTON_PAYLOAD_SIZE];
  if (!connection.reader.Read(payload, sizeof payload)) return false;
  const std::int32_t code = GetInt32(payload);
  WithStore([code](MeasurementStore& store) { store.ButtonPressed(code); });
  unsigned char reply[BUTTON_REPLY_SIZE];
  PutInt32(reply, 0);
  PutInt32(reply + 4, code);
  SendInt32(connection.socket, DATA_BUTTON_ACK);
  SendBytes(connection.socket, reply, sizeof reply);
  WithStore([](MeasurementStore& store) { store.Publish(); });
  return true;
}

bool HandleEcho(Connection& connection) {
  unsigned char reply[ECHO_REPLY_SIZE];
  if (!connection.reader.Read(reply + 4, ECHO_PAYLOAD_SIZE)) return false;
  PutInt32(reply, 0);
  SendInt32(connection.socket, DATA_ECHO_ACK);
  SendBytes(connection.socket, reply, sizeof reply);
  return true;
}

bool HandleHeader(Connection& connection, DataChannelState& state) {
  unsigned char payload[POSE_HEADER_SIZE];
  if (!connection.reader.Read(payload, sizeof payload)) return false;
  state.storedHeader = DecodePoseHeader(payload);
  return true;
}

bool LaserActive() {
  bool active = false;
  WithStore([&active](MeasurementStore& store) { active = store.LaserActive(); });
  return active;
}

// Handles one message; false when the connection is to be closed.
bool HandleMessage(Connection& connection, std::int32_t type, DataChannelState& state) {
  switch (type) {
    case DATA_BEGIN:
      if (!AnswerTextValue(connection, DATA_BEGIN + 1)) return false;
      state.storedHeader.mark = HEADER_MARK_BEGIN;
      return true;
    case DATA_SCAN_BEGIN:
      if (!AnswerText(connection, DATA_SCAN_BEGIN + 1)) return false;
      WithStore([](MeasurementStore& store) { store.ScanBegan(); });
      return true;
    case DATA_ACQUIRE_BEGIN:
      if (!AnswerTextValue(connection, DATA_ACQUIRE_BEGIN + 1)) return false;
      WithStore([](MeasurementStore& store) { store.ConsoleAcquiring(true); });
      return true;
    case DATA_LASER_HEADER:
    case DATA_PROBE_VECTOR_HEADER:
    case DATA_PROBE_POINT_HEADER:
    case DATA_OTHER_HEADER:
      return HandleHeader(connection, state);
    case DATA_LASER_POINTS: {
      const unsigned char* block = nullptr;
      Block taken = TakeLaserBlock(connection, state, &block);
      if (taken == Block::Received) {
        WithStore([&state, block](MeasurementStore& store) {
          state.conversion.StoreLaserPoints(store, state.storedHeader, block);
        });
      }
      return taken != Block::Broken;
    }
    case DATA_PROBE_VECTOR:
    case DATA_PROBE_POINT: {
      // An ignored probe message still has its block read, so the stream stays in step.
      bool ignored = LaserActive() ||
                     (type == DATA_PROBE_VECTOR && state.storedHeader.mark == HEADER_MARK_BEGIN);
      Block block = ReceivePointBlock(connection, state);
      if (block == Block::Received && !ignored) {
        WithStore([&state, type](MeasurementStore& store) {
          if (type == DATA_PROBE_VECTOR) {
            state.conversion.StoreProbeVector(store, state.storedHeader, state.pointBuffer);
          } else {
            state.conversion.StoreProbePoint(store, state.storedHeader, state.pointBuffer);
          }
        });
      }
      return block != Block::Broken;
    }
    case DATA_OTHER_POINTS:
      return ReceivePointBlock(connection, state) != Block::Broken;
    case DATA_END:
      if (!AnswerTextValue(connection, DATA_END + 1)) return false;
      WithStore([](MeasurementStore& store) { store.ScanEndReported(); });
      // The pause before the flags clear; an unload cuts it short, and the flags clear either way.
      static_cast<void>(platform::WaitUntil(platform::Deadline(state.endPauseMs),
                                            platform::WaitPause::kSleep, kEndPausePollMs,
                                            [] { return Stopping(); }));
      WithStore([](MeasurementStore& store) { store.ScanEnded(); });
      return false;
    case DATA_SCAN_END:
      if (!AnswerText(connection, DATA_SCAN_END + 1)) return false;
      WithStore([](MeasurementStore& store) { store.ConsoleAcquiring(false); });
      return true;
    case DATA_ACQUIRE_END:
      if (!AnswerTextValue(connection, DATA_ACQUIRE_END + 1)) return false;
      WithStore([](MeasurementStore& store) { store.ConsoleAcquiring(false); });
      return true;
    case DATA_ACQUIRE_OFF:
      WithStore([](MeasurementStore& store) { store.ConsoleAcquiring(false); });
      return true;
    case DATA_ACQUIRE_ON:
      WithStore([](MeasurementStore& store) { store.ConsoleAcquiring(true); });
      return true;
    case DATA_BUTTON_FINAL:
      // The last message of the connection: handled, then the connection is closed.
      HandleButton(connection);
      return false;
    case DATA_BUTTON:
      return HandleButton(connection);
    case DATA_ECHO_FINAL:
      HandleEcho(connection);
      return false;
    case DATA_ECHO:
      return HandleEcho(connection);
    default:
      // Unknown types carry no payload: the next four bytes are the next type.
      return true;
  }
}

bool SetAcceptedOptions(SocketHandle socket) {
  using platform::SocketOption;
  return platform::socketSetOption(socket, SocketOption::SendBuffer, kAcceptedSendBuffer) &&
         platform::socketSetOption(socket, SocketOption::ReceiveBuffer, kAcceptedReceiveBuffer) &&
         platform::socketSetOption(socket, SocketOption::NoDelay, 1) &&
         platform::socketSetOption(socket, SocketOption::NonBlocking, 0);
}

// Listens again unless teardown has begun; the check and the listen are one step under the
// lock, so a teardown cannot slip in between and leave the thread waiting in accept.
SocketHandle ListenUnlessStopping() {
  platform::LockGuard guard(DataChannelLock());
  if (g_stopping) return platform::kInvalidSocket;
  if (!platform::socketListen(g_listenSocket, kListenBacklog)) return platform::kInvalidSocket;
  return g_listenSocket;
}

bool AdoptAccepted(SocketHandle accepted) {
  platform::LockGuard guard(DataChannelLock());
  if (g_stopping) return false;
  g_acceptedSocket = accepted;
  return true;
}

void ReleaseAccepted() {
  platform::LockGuard guard(DataChannelLock());
  TcpClose(g_acceptedSocket);
  g_acceptedSocket = platform::kInvalidSocket;
}

void ServeConnections() {
  SocketHandle opened = platform::kInvalidSocket;
  {
    platform::LockGuard guard(DataChannelLock());
    if (g_stopping) return;
    g_listenSocket = platform::socketOpenTcp();
    opened = g_listenSocket;
  }
  // Loopback only: the console runs on this machine, and nothing else may feed points.
  if (opened == platform::kInvalidSocket || !platform::socketBind(opened, kLoopback, DATA_PORT)) {
    return;
  }
  // The state is large (the point buffer), so it lives on the heap, once per thread.
  auto state = std::make_unique<DataChannelState>();
  for (;;) {
    SocketHandle listener = ListenUnlessStopping();
    if (listener == platform::kInvalidSocket) break;
    SocketHandle accepted = TcpAccept(listener);
    if (accepted == platform::kInvalidSocket) break;
    if (!AdoptAccepted(accepted)) {
      TcpClose(accepted);
      break;
    }
    if (!SetAcceptedOptions(accepted)) {
      ReleaseAccepted();
      break;
    }
    ServeDataConnection(accepted, *state);
    ReleaseAccepted();
  }
}

}  // namespace

void ServeDataConnection(SocketHandle socket, DataChannelState& state) {
  Connection connection{socket,
                        ConnectionReader(socket, state.readBuffer, sizeof state.readBuffer)};
  for (;;) {
    unsigned char type[4];
    if (!connection.reader.Read(type, sizeof type)) return;
    if (!HandleMessage(connection, GetInt32(type), state)) return;
  }
}

void SetServedStore(MeasurementStore* store) {
  platform::LockGuard guard(DataChannelLock());
  g_servedStore = store;
}

platform::Lock& DataChannelLock() { return g_dataChannelLock; }

bool StartSockets() {
  if (g_socketsStarted.load()) return true;
  int error = 0;
  if (!platform::socketsStart(&error)) {
    std::printf("WSAStartup failed [%d]\n", platform::socketLastError());
    std::fflush(stdout);
    return false;
  }
  g_socketsStarted = true;
  return true;
}

unsigned DataChannelThread(void* /*unused*/) {
  try {
    if (StartSockets()) ServeConnections();
  } catch (...) {
    // The thread ends quietly; nothing restarts it.
  }
  platform::LockGuard guard(DataChannelLock());
  if (g_listenSocket != platform::kInvalidSocket) {
    platform::socketClose(g_listenSocket);
    g_listenSocket = platform::kInvalidSocket;
  }
  return 0;
}

bool DataChannelThreadStarted() {
  platform::LockGuard guard(g_serverThreadLock);
  return g_serverThread != nullptr;
}

bool StartDataChannelThread(MeasurementStore* store) {
  platform::LockGuard guard(g_serverThreadLock);
  if (g_serverThread != nullptr) return true;
  // A failure has been printed; the thread tries again and ends, and the commands fail.
  static_cast<void>(StartSockets());
  {
    platform::LockGuard channel(DataChannelLock());
    g_servedStore = store;
    g_stopping = false;
  }
  g_serverThread = platform::threadStart(DataChannelThread, nullptr);
  return g_serverThread != nullptr;
}

static void WakeForStop() KVT_REQUIRES(g_dataChannelLock) {
  g_stopping = true;
  g_servedStore = nullptr;
  if (g_listenSocket != platform::kInvalidSocket) platform::socketWake(g_listenSocket);
  if (g_acceptedSocket != platform::kInvalidSocket) platform::socketWake(g_acceptedSocket);
}

bool StopDataChannelThread(unsigned timeoutMs, bool processEnds) {
  if (processEnds) {
    // The system has ended the thread, maybe while it held the lock: nothing is waited for.
    if (DataChannelLock().tryLock()) {
      WakeForStop();
      DataChannelLock().unlock();
    }
    return true;
  }
  {
    platform::LockGuard guard(DataChannelLock());
    WakeForStop();
  }
  platform::Thread* thread = nullptr;
  {
    platform::LockGuard guard(g_serverThreadLock);
    thread = g_serverThread;
  }
  return thread == nullptr || platform::WaitThreadEnd(thread, timeoutMs);
}

// The sockets of a thread that was ended by force. It may have died owning the channel's lock,
// so the lock is not taken; nothing else uses these sockets once it is gone.
static void CloseSocketsOfEndedThread() KVT_NO_ANALYSIS {
  for (SocketHandle* socket : {&g_acceptedSocket, &g_listenSocket}) {
    if (*socket != platform::kInvalidSocket) platform::socketClose(*socket);
    *socket = platform::kInvalidSocket;
  }
}

static void ReleaseServerThread(bool processEnds) KVT_REQUIRES(g_serverThreadLock) {
  if (g_serverThread == nullptr) return;
  if (processEnds) {
    // Ended by the system already; its record goes with the process.
    platform::threadRelease(g_serverThread);
    g_serverThread = nullptr;
    return;
  }
  bool ended = platform::threadWaitEnd(g_serverThread, 0);
  if (!ended && platform::threadTerminate(g_serverThread, 0)) {
    ended = true;
    CloseSocketsOfEndedThread();
  }
  // It never waits for the host: woken, it leaves the library within a moment, and it must be out
  // of the library's code before the unload ends.
  if (!ended) ended = platform::WaitThreadEnd(g_serverThread, kDataThreadEndBoundMs);
  platform::threadRelease(g_serverThread);
  g_serverThread = nullptr;
}

void FinishDataChannelThread(bool processEnds) {
  if (processEnds) {
    if (!g_serverThreadLock.tryLock()) return;
    ReleaseServerThread(true);
    g_serverThreadLock.unlock();
    return;
  }
  platform::LockGuard guard(g_serverThreadLock);
  ReleaseServerThread(false);
}
