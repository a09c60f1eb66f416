#pragma once
// BusSet over SocketCAN raw sockets: batched sends and reads (sendmmsg,
// recvmmsg) and one ppoll across every socket.
//
// Borrows the transports for its own lifetime; it never closes them and
// keeps no frames between calls. The sockets stay blocking: every call here
// asks not to block (MSG_DONTWAIT), so the plain commands that share the
// sockets see no change, and a send queue that stays full (a bus that lost
// its motors, an adapter that stopped sending) costs a bounded wait, never a
// send that hangs. Per woken wait it costs one ppoll and one recvmmsg per bus
// with frames; taking what waits on an empty bus costs one recvmmsg.

#include <array>
#include <cstddef>
#include <optional>
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
    BatchSent send(std::size_t bus, std::span<const CanFrame> frames, MonotonicTime until) override;
    TransportResult<std::size_t> take_waiting(std::size_t bus, std::span<BusFrame> out) override;
    TransportResult<std::size_t> wait(Duration timeout, std::span<BusFrame> out) override;

    // What one read of a socket's waiting frames brought: the frames moved,
    // and the error that ended it, if one did.
    struct Taken {
        std::size_t count = 0;
        std::optional<TransportError> error;
    };

private:
    // Frames read before an error are handed over; the error waits for the
    // next call.
    TransportResult<std::size_t> handed_over(Taken taken) noexcept;

    std::array<int, kMaxBuses> descriptors_{};
    std::size_t count_ = 0;
    std::size_t first_turn_ = 0;  // the bus read first on the next wake-up
    std::optional<TransportError> deferred_error_;
};

}  // namespace axiolink::transport
