#pragma once

#include <string>
#include <system_error>

#include "platform/tcp_socket.h"

namespace orvent {

// The system's half of ResolveAddress (resolve_address.cpp), which decides
// what is looked up in what order: one lookup of one family. With
// `numeric_only` the text must be an address of that family, and no name
// server is asked. Failures as ResolveAddress gives them.
std::error_code LookUpAddress(const std::string& host, IpAddress::Family family, bool numeric_only, IpAddress& out);

}  // namespace orvent
