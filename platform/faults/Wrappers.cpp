// The fault-injection build only: the public names of the platform calls that can fail. Each
// asks the injector whether this call fails and, when it does, answers as the system does for
// that failure (the result, the error code, a short transfer); otherwise it runs the real call.
#include "platform/faults/RealNames.h"
// The contracts, declaring the renamed real calls.
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/time.h"
#undef socketsStart
#undef socketLastError
#undef socketOpenTcp
#undef socketSetOption
#undef socketResolveName
#undef socketConnect
#undef socketConnectStart
#undef socketConnectCheck
#undef socketBind
#undef socketListen
#undef socketPorts
#undef socketAccept
#undef socketSend
#undef socketReceive
#undef socketPending
#undef socketShutdownSend
#undef socketClose
#undef threadStart
#undef threadExitCode
#undef threadTerminate
#undef registryOpen
#undef registryQuery
#undef expandEnvironment
#undef profileReadString
#undef profileWriteString
#undef processForEach
#undef programStart
#undef moduleIsLoaded
#undef currentDirectory
#undef dialogRun
#undef fileOpen
#undef fileWrite
#undef fileOpenWrite
#undef fileWriteSome
#undef folderListFiles
#undef fileRemove

#if defined(_WIN32)
#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <windows.h>
#endif

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/faults/Injector.h"

// The return address names the plug-in's call site; the wrappers are never inlined into it.
#define KVT_FAULT(function, ...) \
  faults::decide(function, __builtin_return_address(0), {__VA_ARGS__})

namespace platform {
namespace {

#if defined(_WIN32)
// Windows keeps each thread's last socket error itself: an injected failure leaves its code there,
// as the failing call would, and the real socketLastError reads it.
void ForgetInjectedSocketError() {}
void NoteSocketError(int error) { WSASetLastError(error); }
int InjectedSocketError() { return 0; }
#else
// The socket error that socketLastError reports after an injected failure, until the thread's
// next socket call.
thread_local int t_injectedSocketError = 0;
void ForgetInjectedSocketError() { t_injectedSocketError = 0; }
void NoteSocketError(int error) { t_injectedSocketError = error; }
int InjectedSocketError() { return t_injectedSocketError; }
#endif

template <typename Result>
Result socketFailure(int error, Result result) {
  NoteSocketError(error);
  return result;
}

// The slow kinds take the time that Windows takes for the same failure, which Wine and Linux
// do not: a loopback connect to a port where nothing listens is refused only after the
// system's SYN retries, about 2 s.
constexpr unsigned kSlowRefusedMs = 2000;
constexpr unsigned kSlowStepMs = 20;

// Each socket's receive limit as last set, for a slow time-out that waits all of it. A fixed
// table, so that the wrappers allocate nothing that the allocation faults could fail; a socket
// beyond it counts as having no limit.
struct ReceiveLimit {
  SocketHandle socket = kInvalidSocket;
  int limitMs = 0;
};
constexpr int kLimitSlots = 64;
std::mutex g_limitsMutex;
ReceiveLimit g_limits[kLimitSlots];

void RecordReceiveLimit(SocketHandle socket, int limitMs) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  ReceiveLimit* free = nullptr;
  for (ReceiveLimit& slot : g_limits) {
    if (slot.socket == socket) {
      slot.limitMs = limitMs;
      return;
    }
    if (free == nullptr && slot.socket == kInvalidSocket) free = &slot;
  }
  if (free != nullptr) *free = ReceiveLimit{socket, limitMs};
}

void ForgetReceiveLimit(SocketHandle socket) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  for (ReceiveLimit& slot : g_limits) {
    if (slot.socket == socket) slot = ReceiveLimit{};
  }
}

int ReceiveLimitOf(SocketHandle socket) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  for (const ReceiveLimit& slot : g_limits) {
    if (slot.socket == socket) return slot.limitMs;
  }
  return 0;
}

// A receive that nothing answers: it waits the socket's whole limit, unless the connection is
// woken or closed meanwhile, as a real one would be.
void WaitOutTheReceiveLimit(SocketHandle socket) {
  const int limitMs = ReceiveLimitOf(socket);
  for (int waited = 0; waited < limitMs; waited += static_cast<int>(kSlowStepMs)) {
    const SocketPending pending = socketPendingReal(socket);
    if (pending == SocketPending::kClosed || pending == SocketPending::kError) return;
    sleepMs(kSlowStepMs);
  }
}

// Windows Sockets' "network subsystem is unavailable", which WSAStartup reports.
constexpr int kWsaSystemNotReady = 10091;
// The C runtime's errno values for a denied file and a full disk.
constexpr int kFileDenied = EACCES;
constexpr int kDiskFull = ENOSPC;
#if defined(_WIN32)
// The system's own codes for the same, where the call is the system's.
constexpr int kSystemFileDenied = ERROR_ACCESS_DENIED;
constexpr int kSystemDiskFull = ERROR_DISK_FULL;
// A connection that the peer reset before it was accepted: Windows fails the accept with it.
constexpr const char* kAcceptFailure = "reset";
constexpr int kAcceptError = kWsaConnReset;
// A connect that cannot succeed is reported by Windows only when the caller looks at it, never
// by the call that starts it.
constexpr bool kConnectFailsLater = true;
#else
// The system's calls are the C runtime's.
constexpr int kSystemFileDenied = kFileDenied;
constexpr int kSystemDiskFull = kDiskFull;
// Linux fails the accept of a connection reset before it with ECONNABORTED.
constexpr const char* kAcceptFailure = "aborted";
constexpr int kAcceptError = kWsaConnAborted;
// A refused loopback connect fails at once on Linux.
constexpr bool kConnectFailsLater = false;
#endif

}  // namespace

bool socketsStart(int* error) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketsStart", "notready") == 1) {
    *error = kWsaSystemNotReady;
    return socketFailure(kWsaSystemNotReady, false);
  }
  return socketsStartReal(error);
}

int socketLastError() {
  return InjectedSocketError() != 0 ? InjectedSocketError() : socketLastErrorReal();
}

SocketHandle socketOpenTcp() {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketOpenTcp", "nosockets") == 1) {
    return socketFailure(kWsaTooManySockets, kInvalidSocket);
  }
  return socketOpenTcpReal();
}

bool socketSetOption(SocketHandle socket, SocketOption option, int value) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketSetOption", "invalid") == 1) return socketFailure(kWsaInvalid, false);
  const bool set = socketSetOptionReal(socket, option, value);
  if (set && option == SocketOption::ReceiveTimeoutMs) RecordReceiveLimit(socket, value);
  return set;
}

bool socketResolveName(const char* name, std::uint32_t* addressNet) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketResolveName", "notfound") == 1) {
    return socketFailure(kWsaHostNotFound, false);
  }
  return socketResolveNameReal(name, addressNet);
}

bool socketConnect(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  ForgetInjectedSocketError();
  switch (KVT_FAULT("socketConnect", "refused", "timedout", "slowrefused")) {
    case 1:
      return socketFailure(kWsaConnRefused, false);
    case 2:
      return socketFailure(kWsaTimedOut, false);
    case 3:
      sleepMs(kSlowRefusedMs);
      return socketFailure(kWsaConnRefused, false);
    default:
      return socketConnectReal(socket, addressNet, port);
  }
}

// The connect that an injected failure holds pending: on which socket, since when, for how long
// and with which error it then fails.
std::mutex g_failingConnectMutex;
SocketHandle g_failingConnect = kInvalidSocket;
std::uint32_t g_failingConnectSince = 0;
std::uint32_t g_failingConnectAfterMs = 0;
int g_failingConnectError = 0;

SocketConnect FailConnectLater(SocketHandle socket, std::uint32_t afterMs, int error) {
  std::lock_guard<std::mutex> lock(g_failingConnectMutex);
  g_failingConnect = socket;
  g_failingConnectSince = tickCount();
  g_failingConnectAfterMs = afterMs;
  g_failingConnectError = error;
  return SocketConnect::kPending;
}

// A connect that cannot succeed, reported where the system reports it.
SocketConnect ConnectFails(SocketHandle socket, int error) {
  if (kConnectFailsLater) return FailConnectLater(socket, 0, error);
  return socketFailure(error, SocketConnect::kFailed);
}

SocketConnect socketConnectStart(SocketHandle socket, std::uint32_t addressNet,
                                 std::uint16_t port) {
  ForgetInjectedSocketError();
  switch (KVT_FAULT("socketConnectStart", "refused", "timedout", "slowrefused")) {
    case 1:
      return ConnectFails(socket, kWsaConnRefused);
    case 2:
      return ConnectFails(socket, kWsaTimedOut);
    case 3:
      return FailConnectLater(socket, kSlowRefusedMs, kWsaConnRefused);
    default:
      return socketConnectStartReal(socket, addressNet, port);
  }
}

SocketConnect socketConnectCheck(SocketHandle socket) {
  ForgetInjectedSocketError();
  {
    std::lock_guard<std::mutex> lock(g_failingConnectMutex);
    if (socket == g_failingConnect) {
      if (tickCount() - g_failingConnectSince < g_failingConnectAfterMs) {
        return SocketConnect::kPending;
      }
      g_failingConnect = kInvalidSocket;
      return socketFailure(g_failingConnectError, SocketConnect::kFailed);
    }
  }
  if (KVT_FAULT("socketConnectCheck", "refused") == 1) {
    return socketFailure(kWsaConnRefused, SocketConnect::kFailed);
  }
  return socketConnectCheckReal(socket);
}

bool socketBind(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketBind", "inuse") == 1) return socketFailure(kWsaAddressInUse, false);
  return socketBindReal(socket, addressNet, port);
}

bool socketListen(SocketHandle socket, int backlog) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketListen", "nobuffers") == 1) return socketFailure(kWsaNoBuffers, false);
  return socketListenReal(socket, backlog);
}

bool socketPorts(SocketHandle socket, std::uint16_t* localPort, std::uint16_t* remotePort) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketPorts", "notconnected") == 1) {
    return socketFailure(kWsaNotConnected, false);
  }
  return socketPortsReal(socket, localPort, remotePort);
}

SocketHandle socketAccept(SocketHandle listener) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketAccept", kAcceptFailure) == 1) {
    return socketFailure(kAcceptError, kInvalidSocket);
  }
  return socketAcceptReal(listener);
}

int socketSend(SocketHandle socket, const void* data, int length) {
  ForgetInjectedSocketError();
  switch (KVT_FAULT("socketSend", "reset", "short")) {
    case 1:
      return socketFailure(kWsaConnReset, -1);
    case 2:
      // A send that moved only part of the buffer, as one that a signal interrupts.
      if (length > 1) return socketSendReal(socket, data, length / 2);
      break;
    default:
      break;
  }
  return socketSendReal(socket, data, length);
}

int socketReceive(SocketHandle socket, void* data, int length) {
  ForgetInjectedSocketError();
  switch (KVT_FAULT("socketReceive", "reset", "timeout", "closed", "short", "slowtimeout")) {
    case 1:
      return socketFailure(kWsaConnReset, -1);
    case 2:
      return socketFailure(kWsaTimedOut, -1);
    case 3:
      return 0;
    case 4:
      // Fewer bytes than asked for and maybe than waiting: a stream gives no message borders.
      if (length > 1) return socketReceiveReal(socket, data, length / 2);
      break;
    case 5:
      WaitOutTheReceiveLimit(socket);
      return socketFailure(kWsaTimedOut, -1);
    default:
      break;
  }
  return socketReceiveReal(socket, data, length);
}

SocketPending socketPending(SocketHandle socket) {
  ForgetInjectedSocketError();
  switch (KVT_FAULT("socketPending", "closed", "reset")) {
    case 1:
      return SocketPending::kClosed;
    case 2:
      return socketFailure(kWsaConnReset, SocketPending::kError);
    default:
      return socketPendingReal(socket);
  }
}

bool socketShutdownSend(SocketHandle socket) {
  ForgetInjectedSocketError();
  if (KVT_FAULT("socketShutdownSend", "notconnected") == 1) {
    return socketFailure(kWsaNotConnected, false);
  }
  return socketShutdownSendReal(socket);
}

bool socketClose(SocketHandle socket) {
  ForgetInjectedSocketError();
  ForgetReceiveLimit(socket);
  {
    std::lock_guard<std::mutex> lock(g_failingConnectMutex);
    if (socket == g_failingConnect) g_failingConnect = kInvalidSocket;
  }
  if (KVT_FAULT("socketClose", "interrupted") == 1) {
    // The handle is released all the same, as close() does after EINTR.
    (void)socketCloseReal(socket);
    return socketFailure(kWsaInterrupted, false);
  }
  return socketCloseReal(socket);
}

Thread* threadStart(ThreadProc proc, void* argument, ThreadStart start) {
  if (KVT_FAULT("threadStart", "noresources") == 1) return nullptr;
  return threadStartReal(proc, argument, start);
}

bool threadExitCode(Thread* thread, unsigned* code) {
  if (KVT_FAULT("threadExitCode", "fail") == 1) return false;
  return threadExitCodeReal(thread, code);
}

bool threadTerminate(Thread* thread, unsigned code) {
  if (KVT_FAULT("threadTerminate", "fail") == 1) return false;
  return threadTerminateReal(thread, code);
}

long registryOpen(RegistryRoot root, const char* subKey, std::uint32_t access, RegistryKey** key) {
  switch (KVT_FAULT("registryOpen", "denied", "notfound")) {
    case 1:
      *key = nullptr;
      return kErrorAccessDenied;
    case 2:
      *key = nullptr;
      return kErrorFileNotFound;
    default:
      return registryOpenReal(root, subKey, access, key);
  }
}

long registryQuery(RegistryKey* key, const char* name, std::uint32_t* type, void* data,
                   std::uint32_t* size) {
  switch (KVT_FAULT("registryQuery", "notfound", "moredata")) {
    case 1:
      return kErrorFileNotFound;
    case 2:
      // The value grew past the buffer: its size is reported, nothing is copied.
      if (size != nullptr) *size += 1;
      return kErrorMoreData;
    default:
      return registryQueryReal(key, name, type, data, size);
  }
}

bool expandEnvironment(const char* text, char* out, std::uint32_t size) {
  if (KVT_FAULT("expandEnvironment", "toolong") == 1) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return expandEnvironmentReal(text, out, size);
}

unsigned profileReadString(const char* section, const char* key, const char* defaultValue,
                           char* out, unsigned size, const char* path) {
  if (KVT_FAULT("profileReadString", "unreadable") == 1) {
    // An unreadable file reads as a missing one: the default.
    if (size == 0) return 0;
    std::strncpy(out, defaultValue != nullptr ? defaultValue : "", size - 1);
    out[size - 1] = '\0';
    return static_cast<unsigned>(std::strlen(out));
  }
  return profileReadStringReal(section, key, defaultValue, out, size, path);
}

bool profileWriteString(const char* section, const char* key, const char* value, const char* path) {
  if (KVT_FAULT("profileWriteString", "diskfull") == 1) return false;
  return profileWriteStringReal(section, key, value, path);
}

bool processForEach(bool (*visit)(const char* exeName, void* context), void* context) {
  if (KVT_FAULT("processForEach", "fail") == 1) return false;
  return processForEachReal(visit, context);
}

bool programStart(const char* file, const char* parameters, int* error) {
  switch (KVT_FAULT("programStart", "missing", "denied")) {
    case 1:
      *error = static_cast<int>(kErrorFileNotFound);
      return false;
    case 2:
      *error = static_cast<int>(kErrorAccessDenied);
      return false;
    default:
      return programStartReal(file, parameters, error);
  }
}

bool moduleIsLoaded(const char* fileName) {
  if (KVT_FAULT("moduleIsLoaded", "notloaded") == 1) return false;
  return moduleIsLoadedReal(fileName);
}

bool currentDirectory(char* out, unsigned size) {
  if (KVT_FAULT("currentDirectory", "toolong") == 1) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return currentDirectoryReal(out, size);
}

int dialogRun(const DialogTemplate& dialogTemplate, DialogHandler* handler) {
  if (KVT_FAULT("dialogRun", "nowindow") == 1) return -1;
  return dialogRunReal(dialogTemplate, handler);
}

File* fileOpen(const char* path, FileOpenMode mode, int* error) {
  if (KVT_FAULT("fileOpen", "denied") == 1) {
    *error = kFileDenied;
    return nullptr;
  }
  return fileOpenReal(path, mode, error);
}

bool fileWrite(File* file, const void* data, std::size_t size, int* error) {
  if (KVT_FAULT("fileWrite", "diskfull") == 1) {
    *error = kDiskFull;
    return false;
  }
  return fileWriteReal(file, data, size, error);
}

OutputFile* fileOpenWrite(const char* path, FileCreate how, FileOpenResult* result, int* error) {
  if (KVT_FAULT("fileOpenWrite", "denied") == 1) {
    *result = FileOpenResult::kFailed;
    *error = kSystemFileDenied;
    return nullptr;
  }
  return fileOpenWriteReal(path, how, result, error);
}

int fileWriteSome(OutputFile* file, const void* data, int length, unsigned waitMs, int* error) {
  switch (KVT_FAULT("fileWriteSome", "diskfull", "stalled")) {
    case 1:
      *error = kSystemDiskFull;
      return -1;
    case 2:
      // A target that took nothing within the wait.
      return 0;
    default:
      return fileWriteSomeReal(file, data, length, waitMs, error);
  }
}

bool folderListFiles(const char* folder, std::vector<FolderFile>* files) {
  if (KVT_FAULT("folderListFiles", "denied") == 1) return false;
  return folderListFilesReal(folder, files);
}

bool fileRemove(const char* path) {
  if (KVT_FAULT("fileRemove", "inuse") == 1) return false;
  return fileRemoveReal(path);
}

}  // namespace platform
