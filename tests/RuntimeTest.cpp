// What the runtime sets up for a program: input hooks, which may be set up and torn down any
// number of times, and sockets, usable as soon as the library is loaded (the program makes no
// start-up call of its own, yet talks to itself over the loopback address).
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
void closeSocket(Socket s) {
  closesocket(s);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
const Socket kNoSocket = -1;
void closeSocket(Socket s) {
  close(s);
}
#endif

#include "TestSupport.h"
#include "vemo/core/InputHook.h"

TEST(InputHook, SetUpAndTearDownInAnyNumber) {
  vemo::tests::LogCapture log;
  EXPECT_TRUE(vemo::setUpWindowsHook());
  EXPECT_TRUE(vemo::setUpWindowsHook());
  vemo::tearDownWindowsHook();
  vemo::tearDownWindowsHook();
  EXPECT_TRUE(vemo::setUpWindowsHook());
  vemo::tearDownWindowsHook();
  EXPECT_TRUE(log.lines.empty());
}

TEST(Socket, UsableWithoutAStartUpOfTheProgram) {
  const Socket receiver = socket(AF_INET, SOCK_DGRAM, 0);
  const Socket sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(receiver, kNoSocket);
  ASSERT_NE(sender, kNoSocket);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(sendto(sender, "ping", 4, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 4);
  char buffer[8] = {};
  EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 4);
  EXPECT_STREQ(buffer, "ping");
  closeSocket(sender);
  closeSocket(receiver);
}
