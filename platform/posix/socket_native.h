#pragma once

#include <unistd.h>

#include "platform/tcp_socket.h"

namespace orvent {

// A descriptor closed with its owner.
struct SocketDescriptor {
  explicit SocketDescriptor(int descriptor) : fd(descriptor) {}
  ~SocketDescriptor() { ::close(fd); }
  SocketDescriptor(const SocketDescriptor&) = delete;
  SocketDescriptor& operator=(const SocketDescriptor&) = delete;
  const int fd;
};

// The descriptor of a TcpSocket, for the files of posix/ that wait on it.
struct TcpSocket::Native : SocketDescriptor {
  using SocketDescriptor::SocketDescriptor;
};

}  // namespace orvent
