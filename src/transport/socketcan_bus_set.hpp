#pragma once
// BusSet over SocketCAN raw sockets: batched sends and reads (sendmmsg,
// recvmmsg) and one ppoll across every socket.
//
// Borrows the transports for its own lifetime; it never closes them and
// keeps no frames between calls. The sockets stay blocking: every read here
// asks not to wait (MSG_DONTWAIT), so the plain commands that share the
// sockets see no change. Per woken wait it costs one ppoll and one recvmmsg
// per bus with frames; a drain of an empty bus costs one recvmmsg.

#include <array>
#include <cstddef>
#include <span>

#include "transport/bus_set.hpp"
#include "transport/socketcan_backend.hpp"

namespace axiolink::transport {

class SocketCanBusSet final : public BusSet {
public:
    static constexpr std::size_t kMaxBuses = 8;

    // At most kMaxBuses transports (the rest are ignored: callers check).
    explicit SocketCanBusSet(std::span<SocketCanTransport* const> buses) noexcept;

    std::size_t size() const noexcept override { return count_; }
    BatchSent send(std::size_t bus, std::span<const CanFrame> frames) override;
    TransportResult<void> drain(std::size_t bus) override;
    TransportResult<std::size_t> wait(Duration timeout, std::span<BusFrame> out) override;

private:
    std::array<int, kMaxBuses> descriptors_{};
    std::size_t count_ = 0;
};

}  // namespace axiolink::transport
