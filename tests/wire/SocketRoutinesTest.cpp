// The socket routines of both channels: their results, counts and standard-output messages.
#include <gtest/gtest.h>

#include <thread>

#include "RawPeer.h"
#include "platform/time.h"
#include "wire/CommandCodes.h"
#include "wire/SocketRoutines.h"

namespace {

class SocketRoutinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    static_cast<void>(platform::socketsStart(&error));
  }
  // A listener on the command port that accepts one connection.
  void Listen() {
    listener_ = platform::socketOpenTcp();
    std::uint32_t loopback = 0;
    static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
    ASSERT_TRUE(platform::socketBind(listener_, loopback, COMMAND_PORT));
    ASSERT_TRUE(platform::socketListen(listener_, 1));
  }
  void TearDown() override {
    if (client_ != platform::kInvalidSocket) TcpClose(client_);
    if (listener_ != platform::kInvalidSocket) platform::socketClose(listener_);
  }
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  SocketHandle client_ = platform::kInvalidSocket;
};

TEST_F(SocketRoutinesTest, ConnectFailuresPrintTheirMessageAndLeaveNoSocket) {
  SocketHandle socket = 1234;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(TcpConnect(socket, nullptr, COMMAND_PORT));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Invalid parameter 'Host Name'\n");
  EXPECT_EQ(socket, 1234) << "a missing name leaves the variable alone";

  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(TcpConnect(socket, COMMAND_HOST, COMMAND_PORT));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Cannot connect to host [0x0000274D]\n");
  EXPECT_EQ(socket, platform::kInvalidSocket);

  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(TcpConnect(socket, "no-such-host.invalid", COMMAND_PORT));
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.rfind("Cannot find host address [0x", 0), 0u) << printed;
  EXPECT_EQ(socket, platform::kInvalidSocket);
}

TEST_F(SocketRoutinesTest, ZeroLengthTransfersTouchNoSocket) {
  char buffer[4] = {};
  int count = 99;
  EXPECT_TRUE(SendAll(platform::kInvalidSocket, buffer, 0, count));
  EXPECT_EQ(count, 0);
  count = 99;
  EXPECT_TRUE(ReceiveExactly(platform::kInvalidSocket, buffer, -5, count));
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(SendAll(platform::kInvalidSocket, buffer, 4, count)) << "a real send fails";
}

TEST_F(SocketRoutinesTest, PeerClosingInTheMiddleOfAReplyLeavesTheCountShort) {
  Listen();
  ASSERT_TRUE(TcpConnect(client_, COMMAND_HOST, COMMAND_PORT));
  RawPeer console(platform::socketAccept(listener_));
  ASSERT_TRUE(console.Send("\x01\x02\x03\x04\x05\x06", 6));
  console.Close();
  unsigned char reply[32] = {};
  int count = 0;
  EXPECT_TRUE(ReceiveExactly(client_, reply, sizeof reply, count));
  EXPECT_EQ(count, 6);
  EXPECT_EQ(reply[5], 6);
}

TEST_F(SocketRoutinesTest, LargeTransfersArriveWhole) {
  Listen();
  ASSERT_TRUE(TcpConnect(client_, COMMAND_HOST, COMMAND_PORT));
  RawPeer console(platform::socketAccept(listener_));
  std::vector<unsigned char> data(20000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  std::vector<unsigned char> received;
  std::thread reader([&] { received = console.Read(20000); });
  int count = 0;
  EXPECT_TRUE(SendAll(client_, data.data(), 20000, count));
  reader.join();
  EXPECT_EQ(count, 20000);
  EXPECT_EQ(received, data);
}

TEST_F(SocketRoutinesTest, SilentConsoleTimesTheReplyOutAfterTenSeconds) {
  Listen();
  ASSERT_TRUE(TcpConnect(client_, COMMAND_HOST, COMMAND_PORT));
  RawPeer console(platform::socketAccept(listener_));
  unsigned char reply[4] = {9, 9, 9, 9};
  int count = -1;
  std::uint32_t start = platform::tickCount();
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(ReceiveExactly(client_, reply, sizeof reply, count));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "error reading 10060\n");
  EXPECT_GE(platform::tickCount() - start, 9000u);
  EXPECT_EQ(reply[0], 9) << "the buffer stays as it was";
}

// The plug-in's whole-buffer routines and its peer's share one loop: in every situation the same
// result, count and bytes. Only the plug-in's print.
TEST_F(SocketRoutinesTest, PeerRoutinesMoveWhatThePluginsDoAndPrintNothing) {
  struct Routines {
    const char* name;
    bool (*send)(SocketHandle socket, const void* buffer, int length, int& count);
    bool (*receive)(SocketHandle socket, void* buffer, int length, int& count);
    bool prints;
  };
  const Routines pairs[] = {
      {"plug-in", SendAll, ReceiveExactly, true},
      {"peer", [](SocketHandle s, const void* b, int n, int& c) { return PeerSendAll(s, b, n, c); },
       PeerReceiveExactly, false},
      {"peer, 1 MiB pieces",
       [](SocketHandle s, const void* b, int n, int& c) {
         return PeerSendAll(s, b, n, c, 1 << 20);
       },
       PeerReceiveExactly, false},
  };
  Listen();
  std::vector<unsigned char> data(20000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  for (const Routines& routines : pairs) {
    SCOPED_TRACE(routines.name);
    unsigned char buffer[32] = {};
    int count = 99;
    EXPECT_TRUE(routines.send(platform::kInvalidSocket, buffer, 0, count));
    EXPECT_EQ(count, 0);
    count = 99;
    EXPECT_TRUE(routines.receive(platform::kInvalidSocket, buffer, -5, count));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(routines.send(platform::kInvalidSocket, buffer, 4, count));
    EXPECT_EQ(count, 0);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(routines.receive(platform::kInvalidSocket, buffer, 4, count));
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(count, 0);
    if (routines.prints) {
      EXPECT_EQ(printed.rfind("error reading ", 0), 0u) << printed;
    } else {
      EXPECT_EQ(printed, "");
    }

    SocketHandle client = platform::kInvalidSocket;
    ASSERT_TRUE(TcpConnect(client, COMMAND_HOST, COMMAND_PORT));
    RawPeer console(platform::socketAccept(listener_));
    std::vector<unsigned char> received;
    std::thread reader([&] { received = console.Read(20000); });
    EXPECT_TRUE(routines.send(client, data.data(), 20000, count));
    reader.join();
    EXPECT_EQ(count, 20000);
    EXPECT_EQ(received, data);

    ASSERT_TRUE(console.Send("\x01\x02\x03\x04\x05\x06", 6));
    console.Close();
    EXPECT_TRUE(routines.receive(client, buffer, sizeof buffer, count));
    EXPECT_EQ(count, 6);
    EXPECT_EQ(buffer[5], 6);
    TcpClose(client);
  }
}

}  // namespace
