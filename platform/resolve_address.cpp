#include <string>

#include "platform/address_lookup.h"
#include "platform/tcp_socket.h"

namespace orvent {

std::error_code ResolveAddress(const std::string& host, IpAddress& out) {
  using Family = IpAddress::Family;
  // Brackets set an IPv6 address apart from a port, as in a URL; they hold
  // nothing else.
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  const std::string name = bracketed ? host.substr(1, host.size() - 2) : host;
  if (!bracketed && !LookUpAddress(name, Family::V4, true, out)) return {};
  if (!LookUpAddress(name, Family::V6, true, out)) return {};
  if (bracketed) return ResolveError::NameNotFound;
  // A name is looked up for IPv4 first and alone, as it always was, so that
  // every name that worked before reaches the same address the same way;
  // only a name that has no IPv4 address is asked for its IPv6 one.
  const std::error_code v4 = LookUpAddress(name, Family::V4, false, out);
  if (v4 != ResolveError::NameNotFound) return v4;
  if (!LookUpAddress(name, Family::V6, false, out)) return {};
  return v4;
}

}  // namespace orvent
