// The data-channel server thread and its message handling.
#include "datachannel/DataChannel.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "datachannel/MeasurementStore.h"
#include "datachannel/PoseConversion.h"
#include "platform/output.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "wire/WireRecords.h"

namespace {

// The design's process-wide handles. The thread's record, under the channel's lock. The
// listening socket and the connection being served: written by the data thread, under the
// channel's lock where the stop's check matters, and closed by the stop once the thread has ended
// without closing them.
LibraryThread* g_serverThread = nullptr;
std::atomic<SocketHandle> g_listenSocket{platform::kInvalidSocket};
std::atomic<SocketHandle> g_acceptedSocket{platform::kInvalidSocket};

// Room for the accepted socket's receive buffer: two full point blocks. A small buffer throttles
// loopback transfers to a fraction of what a streaming sensor delivers.
constexpr int kAcceptedReceiveBuffer = 256 * 1024;
constexpr int kAcceptedSendBuffer = 8192;
constexpr int kListenBacklog = 5;
constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

constexpr unsigned kEndPausePollMs = 10;
// The data thread leaves its waits at once when woken; a DATA_END pause can hold it 500 ms. It
// never waits for the host and prints nothing that can block it, so only a starved machine makes
// it take longer.
constexpr std::uint32_t kDataThreadEndMs = 3000;

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
  ConnectionReader& reader;
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

}  // namespace

LibraryThread*& DataChannel::ServerThreadLocked() { return g_serverThread; }

bool DataChannel::Stopping() {
  platform::LockGuard guard(m_lock);
  return m_stopping;
}

template <typename Change>
void DataChannel::WithStore(Change change) {
  platform::LockGuard guard(m_lock);
  if (!m_stopping) change(m_store);
}

bool DataChannel::HandleButton(SocketHandle socket, ConnectionReader& reader) {
  unsigned char payload[BUTTON_PAYLOAD_SIZE];
  if (!reader.Read(payload, sizeof payload)) return false;
  const std::int32_t code = GetInt32(payload);
  WithStore([code](MeasurementStore& store) { store.ButtonPressed(code); });
  unsigned char reply[BUTTON_REPLY_SIZE];
  PutInt32(reply, 0);
  PutInt32(reply + 4, code);
  SendInt32(socket, DATA_BUTTON_ACK);
  SendBytes(socket, reply, sizeof reply);
  WithStore([](MeasurementStore& store) { store.Publish(); });
  return true;
}

// Handles one message; false when the connection is to be closed.
bool DataChannel::HandleMessage(SocketHandle socket, ConnectionReader& reader, std::int32_t type,
                                DataChannelState& state) {
  Connection connection{socket, reader};
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
      bool laserActive = false;
      WithStore([&laserActive](MeasurementStore& store) { laserActive = store.LaserActive(); });
      bool ignored = laserActive ||
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
      // The pause before the flags clear. The unload's start does not end it: the unload waits for
      // the flags to clear after it, as the console expects. The channel's stop cuts it short, and
      // the flags clear either way.
      static_cast<void>(Lifecycle::WaitRegardless(platform::Deadline(state.endPauseMs),
                                                  kEndPausePollMs, [this] { return Stopping(); }));
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
      static_cast<void>(HandleButton(socket, reader));
      return false;
    case DATA_BUTTON:
      return HandleButton(socket, reader);
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

namespace {

bool SetAcceptedOptions(SocketHandle socket) {
  using platform::SocketOption;
  return platform::socketSetOption(socket, SocketOption::SendBuffer, kAcceptedSendBuffer) &&
         platform::socketSetOption(socket, SocketOption::ReceiveBuffer, kAcceptedReceiveBuffer) &&
         platform::socketSetOption(socket, SocketOption::NoDelay, 1) &&
         platform::socketSetOption(socket, SocketOption::NonBlocking, 0);
}

}  // namespace

bool DataChannel::ListenUnlessStopping(SocketHandle listener) {
  platform::LockGuard guard(m_lock);
  return !m_stopping && platform::socketListen(listener, kListenBacklog);
}

bool DataChannel::AdoptUnlessStopping(SocketHandle accepted) {
  platform::LockGuard guard(m_lock);
  if (m_stopping) return false;
  g_acceptedSocket = accepted;
  return true;
}

void DataChannel::ReleaseAccepted() {
  SocketHandle accepted = platform::kInvalidSocket;
  {
    platform::LockGuard guard(m_lock);
    accepted = g_acceptedSocket.exchange(platform::kInvalidSocket);
  }
  if (accepted != platform::kInvalidSocket) TcpClose(accepted);
}

void DataChannel::ServeConnections() {
  {
    const SocketHandle opened = platform::socketOpenTcp();
    platform::LockGuard guard(m_lock);
    g_listenSocket = opened;
  }
  const SocketHandle listener = g_listenSocket;
  // Loopback only: the console runs on this machine, and nothing else may feed points.
  if (listener == platform::kInvalidSocket ||
      !platform::socketBind(listener, kLoopback, DATA_PORT)) {
    return;
  }
  // The state is large (the point buffer), so it lives on the heap, once per thread.
  auto state = std::make_unique<DataChannelState>();
  for (;;) {
    if (!ListenUnlessStopping(listener)) break;
    SocketHandle accepted = TcpAccept(listener);
    if (accepted == platform::kInvalidSocket) break;
    if (!AdoptUnlessStopping(accepted)) {
      TcpClose(accepted);
      break;
    }
    if (!SetAcceptedOptions(accepted)) {
      ReleaseAccepted();
      break;
    }
    Serve(accepted, *state);
    ReleaseAccepted();
  }
}

void DataChannel::Serve(SocketHandle socket, DataChannelState& state) {
  ConnectionReader reader(socket, state.readBuffer, sizeof state.readBuffer);
  for (;;) {
    unsigned char type[4];
    if (!reader.Read(type, sizeof type)) return;
    if (!HandleMessage(socket, reader, GetInt32(type), state)) return;
  }
}

unsigned DataChannel::DataChannelThread(void* self) {
  auto& channel = *static_cast<DataChannel*>(self);
  try {
    if (channel.StartSockets()) channel.ServeConnections();
  } catch (...) {
    // The thread ends quietly; nothing restarts it.
  }
  const SocketHandle listener = g_listenSocket.exchange(platform::kInvalidSocket);
  if (listener != platform::kInvalidSocket) platform::socketClose(listener);
  return 0;
}

bool DataChannel::Started() {
  platform::LockGuard guard(m_lock);
  return ServerThreadLocked() != nullptr;
}

bool DataChannel::StartSockets() {
  platform::LockGuard guard(m_lock);
  if (m_socketsStarted) return true;
  int error = 0;
  if (!platform::socketsStart(&error)) {
    PrintMessage("WSAStartup failed [%d]\n", platform::socketLastError());
    return false;
  }
  m_socketsStarted = true;
  return true;
}

bool DataChannel::Start() {
  // Windows Sockets for the whole process, before the thread and the command channel use it. A
  // failure has been printed; the thread then tries again and ends, and the commands fail.
  static_cast<void>(StartSockets());
  platform::LockGuard guard(m_lock);
  if (ServerThreadLocked() != nullptr) return true;
  if (m_stopping) return false;
  ServerThreadLocked() = m_lifecycle.StartThread(DataChannelThread, this);
  return ServerThreadLocked() != nullptr;
}

void DataChannel::Stop(StopMode mode) {
  LibraryThread* thread = nullptr;
  if (Lifecycle::LockForStop(m_lock, mode)) {
    m_stopping = true;
    // Taken out now: after an end by force the lock may be held by the thread that was ended.
    thread = ServerThreadLocked();
    ServerThreadLocked() = nullptr;
    // Leaves the accept wait and the connection served.
    for (std::atomic<SocketHandle>* socket : {&g_listenSocket, &g_acceptedSocket}) {
      const SocketHandle handle = *socket;
      if (handle != platform::kInvalidSocket) platform::socketWake(handle);
    }
    m_lock.unlock();
  } else {
    // At the end of the process a thread the system ended holds the lock: it was the data
    // thread, the only one that stores; its record goes with the process.
    return;
  }
  if (thread == nullptr) return;
  bool ended = m_lifecycle.EndThread(thread, kDataThreadEndMs, mode);
  // It never calls the host, so only the system holds it past its bound: ended by force where the
  // platform can. Where it cannot, it must not run on into a library that is gone: it is waited
  // for, with a word on standard error.
  if (!ended) ended = Lifecycle::EndByForce(thread);
  if (!ended) {
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: the unload waits for the data channel's thread\n");
    while (!m_lifecycle.WaitThreadEnd(thread, 1000, platform::WaitPause::kSleep)) {
    }
  }
  // Sockets that a thread ended by force or by the system left open.
  for (std::atomic<SocketHandle>* socket : {&g_acceptedSocket, &g_listenSocket}) {
    const SocketHandle handle = socket->exchange(platform::kInvalidSocket);
    if (handle != platform::kInvalidSocket) platform::socketClose(handle);
  }
  m_lifecycle.ReleaseThread(thread);
}
