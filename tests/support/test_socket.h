// Loopback sockets for the tests' own peers (the scripted motion server, free ports): the few
// calls they need, with the platform's implementation chosen here once.
//   int  testsocket::ListenLoopback(int* port)           a listener on 127.0.0.1:0, or -1
//   int  testsocket::AcceptWithin(int listener, int ms)  the accepted socket, or -1
//   bool testsocket::Readable(int socket, int ms)        data or end of stream within ms
//   long testsocket::SendSome / ReceiveSome(...)          one send / recv; <0 on error
//   void testsocket::Close(int socket) / Reset(int socket)  (Reset: with a connection reset)
//   int  testsocket::UnusedLoopbackPort()                a port nothing listens on
// Each socket belongs to the test thread that made it.
#ifndef KOVRIM_TESTS_SUPPORT_TEST_SOCKET_H_
#define KOVRIM_TESTS_SUPPORT_TEST_SOCKET_H_

#if defined(_WIN32)
#include "test_socket_windows.h"
#else
#include "test_socket_posix.h"
#endif

#endif  // KOVRIM_TESTS_SUPPORT_TEST_SOCKET_H_
