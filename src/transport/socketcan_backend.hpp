#pragma once
// CanTransport on one Linux SocketCAN raw socket, classic and FD frames.
//
// Owns its descriptor exclusively and closes it when destroyed. Not
// thread-safe: one caller at a time. Every `recv` sets SO_RCVTIMEO and makes
// one read (an interrupted read is not repeated: it ends as Backend EINTR);
// `send` makes one write (repeated only on EINTR).

#include <linux/can.h>
#include <sys/time.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "transport/can.hpp"

namespace axiolink::transport {

// Pure conversions between frame records and the kernel structures.
struct KernelFrame {
    union {
        can_frame classic;
        canfd_frame fd;
    };
    std::size_t size;  // bytes to write: sizeof(can_frame) or sizeof(canfd_frame)

    // The `size` bytes handed to the kernel.
    std::span<const std::uint8_t> bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(&fd), size};
    }
};
// Checks the identifier first (InvalidId), then the length (FrameTooLarge).
// Unused bytes are zero; an FD payload is padded with zeros up to the next
// valid FD length.
TransportResult<KernelFrame> to_kernel(const CanFrame& frame) noexcept;
// `bytes_read` is what recv returned: 16 classic, 72 FD. Remote frames arrive
// as data frames of their requested length; error frames carry all 8 data
// bytes whatever their `len`. The kernel never produces the remaining cases,
// which fail as Backend EPROTO rather than being guessed at: any other byte
// count, and a `len` above 8 (classic) or 64 (FD).
TransportResult<CanFrame> from_kernel(const canfd_frame& buffer, std::size_t bytes_read) noexcept;
// The next valid CAN FD length at or above `len` (len <= 64).
std::uint8_t fd_length_for(std::size_t len) noexcept;
// The SO_RCVTIMEO value for a read that waits at most `timeout`: seconds
// capped at 2^31 - 1, microseconds truncated. Anything below one microsecond
// (zero included) becomes one microsecond, because a zero value would make
// the read wait forever.
timeval receive_timeout_for(Duration timeout) noexcept;

class SocketCanTransport final : public CanTransport {
public:
    // Opens and binds a raw CAN socket with FD frames enabled. A name holding
    // a NUL fails with EINVAL before any system call; every failure leaves no
    // descriptor open.
    static TransportResult<SocketCanTransport> open(std::string_view iface);

    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    TransportResult<void> send(const CanFrame& frame) override;
    // A time-out below one microsecond (zero included) waits one microsecond:
    // the kernel reads a zero SO_RCVTIMEO as "wait forever". EAGAIN and
    // ETIMEDOUT are Timeout; every other failure is Backend.
    TransportResult<CanFrame> recv(Duration timeout) override;

    int descriptor() const noexcept { return fd_; }

private:
    explicit SocketCanTransport(int fd) noexcept : fd_(fd) {}

    // The receive time-out is set before every read, never remembered: the
    // socket's option is shared by every holder of the descriptor (a forked
    // child, a duplicate), so a value set earlier proves nothing now.
    int fd_ = -1;
};

}  // namespace axiolink::transport
