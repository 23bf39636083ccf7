#pragma once

// For the socket files of posix/ and win32/ only, after their system's
// socket headers: the two systems lay out socket addresses alike and differ
// only in the type of an address's length.

#include <cstdint>
#include <cstring>

#include "platform/tcp_socket.h"

namespace orvent {

// A socket address of either family, with its length.
template <typename Length>
struct SocketAddressOf {
  sockaddr_storage storage{};
  Length length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

template <typename Length>
SocketAddressOf<Length> SocketAddressFor(const IpAddress& address, std::uint16_t port) {
  SocketAddressOf<Length> out;
  if (address.Kind == IpAddress::Family::V6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    std::memcpy(&sa->sin6_addr, address.Bytes.data(), 16);
    sa->sin6_scope_id = address.ScopeId;
    out.length = sizeof(sockaddr_in6);
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    std::memcpy(&sa->sin_addr, address.Bytes.data(), 4);
    out.length = sizeof(sockaddr_in);
  }
  return out;
}

// The address the system's lookup found, of the family asked for.
inline IpAddress AddressOf(const sockaddr* found, IpAddress::Family family) {
  IpAddress out;
  out.Kind = family;
  if (found->sa_family == AF_INET6) {
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(found);
    std::memcpy(out.Bytes.data(), &sa->sin6_addr, 16);
    out.ScopeId = sa->sin6_scope_id;
  } else {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(found);
    std::memcpy(out.Bytes.data(), &sa->sin_addr, 4);
  }
  return out;
}

}  // namespace orvent
