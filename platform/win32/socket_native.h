#pragma once

#include <winsock2.h>

#include "platform/tcp_socket.h"

namespace orvent {

// A socket closed with its owner.
struct SocketHandle {
  explicit SocketHandle(SOCKET socket) : s(socket) {}
  ~SocketHandle() { ::closesocket(s); }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  const SOCKET s;
};

// The socket of a TcpSocket, for the files of win32/ that wait on it.
struct TcpSocket::Native : SocketHandle {
  using SocketHandle::SocketHandle;
};

}  // namespace orvent
