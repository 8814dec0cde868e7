#pragma once
// The listening socket of the in-process test servers: 127.0.0.1, a port the
// system chooses. Starts Windows Sockets first; the caller calls WSACleanup
// once it has closed the socket.

#include <winsock2.h>

inline SOCKET ListenOnLoopback(int backlog, int& port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  listen(listener, backlog);
  return listener;
}
