#pragma once
// What every bus test opens first: a transport on a virtual interface, or an
// exception that ends the test with the reason.

#include <stdexcept>
#include <string>

#include "transport/socketcan_backend.hpp"

namespace axiolink::transport {

inline SocketCanTransport open_transport(const char* iface) {
    auto transport = SocketCanTransport::open(iface);
    if (!transport) {
        throw std::runtime_error(std::string("open ") + iface + ": " + transport.error().message());
    }
    return std::move(*transport);
}

}  // namespace axiolink::transport
