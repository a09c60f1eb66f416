#include "transport/socketcan_backend.hpp"

#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace axiolink::transport {
namespace {

constexpr std::uint64_t kMaxTimevalSeconds = 0x7FFF'FFFF;

// The exchange code writes and reads these structures as the kernel lays them
// out; an architecture or C library where they differ must fail to build
// rather than put garbage on the bus.
static_assert(sizeof(can_frame) == 16 && CAN_MTU == 16);
static_assert(sizeof(canfd_frame) == 72 && CANFD_MTU == 72);
static_assert(offsetof(can_frame, data) == 8 && offsetof(canfd_frame, data) == 8);
static_assert(sizeof(sockaddr_can) == 24);
// The C library picks the option number that matches its timeval: the
// original option takes two longs (8 bytes on 32-bit ARM), the one for a
// 64-bit time_t on 32-bit systems takes two 64-bit fields.
#if defined(SO_RCVTIMEO_OLD)
static_assert(sizeof(timeval) == (SO_RCVTIMEO == SO_RCVTIMEO_OLD ? 2 * sizeof(long) : 16));
#else
static_assert(sizeof(timeval) == 2 * sizeof(long));
#endif

std::optional<canid_t> raw_id(CanId id) noexcept {
    switch (id.kind) {
        case IdKind::Standard:
            if (id.value > CAN_SFF_MASK) {
                return std::nullopt;
            }
            return id.value;
        case IdKind::Extended:
            if (id.value > CAN_EFF_MASK) {
                return std::nullopt;
            }
            return id.value | CAN_EFF_FLAG;
    }
    return std::nullopt;
}

CanId id_from_raw(canid_t raw) noexcept {
    if ((raw & CAN_EFF_FLAG) != 0) {
        return CanId::extended(raw & CAN_EFF_MASK);
    }
    return CanId::standard(static_cast<std::uint16_t>(raw & CAN_SFF_MASK));
}

TransportError last_system_error() noexcept {
    return TransportError::backend(errno);
}

// if_nametoindex looks the name up through a socket of its own. When it
// cannot open one, glibc reports ENOENT instead of the reason (EMFILE when
// the process is out of descriptors); opening the same kind of socket here
// recovers that reason. A missing interface is ENODEV and needs no second look.
TransportError interface_lookup_error() noexcept {
    const int reported = errno;
    if (reported != ENOENT) {
        return TransportError::backend(reported);
    }
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return last_system_error();
    }
    ::close(probe);
    return TransportError::backend(reported);
}

void close_if_open(int fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

std::uint8_t fd_length_for(std::size_t len) noexcept {
    constexpr std::array<std::uint8_t, 7> kLongLengths{12, 16, 20, 24, 32, 48, 64};
    if (len <= CAN_MAX_DLEN) {
        return static_cast<std::uint8_t>(len);
    }
    const auto* found =
        std::ranges::find_if(kLongLengths, [len](auto step) { return len <= step; });
    return found != kLongLengths.end() ? *found : CANFD_MAX_DLEN;
}

TransportResult<KernelFrame> to_kernel(const CanFrame& frame) noexcept {
    const std::optional<canid_t> id = raw_id(frame.id);
    if (!id) {
        return std::unexpected(TransportError::invalid_id());
    }
    const std::size_t length = frame.data.size();
    const std::span<const std::uint8_t> payload = frame.data.bytes();
    KernelFrame out{};
    if (frame.fd) {
        if (length > CANFD_MAX_DLEN) {
            return std::unexpected(TransportError::frame_too_large(length));
        }
        out.fd = canfd_frame{};
        out.fd.can_id = *id;
        out.fd.len = fd_length_for(payload.size());
        out.fd.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
        std::ranges::copy(payload, out.fd.data);
        out.size = sizeof(canfd_frame);
    } else {
        if (length > CAN_MAX_DLEN) {
            return std::unexpected(TransportError::frame_too_large(length));
        }
        out.classic = can_frame{};
        out.classic.can_id = *id;
        out.classic.len = static_cast<std::uint8_t>(payload.size());
        std::ranges::copy(payload, out.classic.data);
        out.size = sizeof(can_frame);
    }
    return out;
}

TransportResult<CanFrame> from_kernel(const canfd_frame& buffer, std::size_t bytes_read) noexcept {
    // A classic frame occupies the first 16 bytes with the same layout, so
    // both kinds are read through the FD structure.
    const CanId id = id_from_raw(buffer.can_id);
    const auto data = [&buffer](std::size_t len) {
        return Payload(std::span<const std::uint8_t>(buffer.data, len));
    };
    if (bytes_read == CAN_MTU) {
        if ((buffer.can_id & CAN_ERR_FLAG) != 0) {
            return CanFrame{id, data(CAN_MAX_DLEN)};
        }
        if (buffer.len > CAN_MAX_DLEN) {
            return std::unexpected(TransportError::backend(EPROTO));
        }
        return CanFrame{id, data(buffer.len)};
    }
    if (bytes_read == CANFD_MTU) {
        if (buffer.len > CANFD_MAX_DLEN) {
            return std::unexpected(TransportError::backend(EPROTO));
        }
        return CanFrame{id, data(buffer.len), true, (buffer.flags & CANFD_BRS) != 0};
    }
    return std::unexpected(TransportError::backend(EPROTO));
}

timeval receive_timeout_for(Duration timeout) noexcept {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(std::min(timeout.seconds, kMaxTimevalSeconds));
    limit.tv_usec = static_cast<suseconds_t>(timeout.nanos / 1000);
    if (limit.tv_sec == 0 && limit.tv_usec == 0) {
        limit.tv_usec = 1;
    }
    return limit;
}

TransportResult<SocketCanTransport> SocketCanTransport::open(std::string_view iface) {
    if (iface.find('\0') != std::string_view::npos) {
        return std::unexpected(TransportError::backend(EINVAL));
    }
    const std::string name(iface);
    const unsigned int index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        return std::unexpected(interface_lookup_error());
    }
    // Owned from here on, so every early return below closes it.
    SocketCanTransport transport(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (transport.fd_ < 0) {
        return std::unexpected(last_system_error());
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(transport.fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(last_system_error());
    }
    const int enable = 1;
    if (::setsockopt(transport.fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
        return std::unexpected(last_system_error());
    }
    return transport;
}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : CanTransport(other), fd_(std::exchange(other.fd_, -1)) {}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
    if (this != &other) {
        CanTransport::operator=(other);
        close_if_open(std::exchange(fd_, std::exchange(other.fd_, -1)));
    }
    return *this;
}

SocketCanTransport::~SocketCanTransport() {
    close_if_open(fd_);
}

TransportResult<void> SocketCanTransport::send(const CanFrame& frame) {
    const auto kernel = to_kernel(frame);
    if (!kernel) {
        return std::unexpected(kernel.error());
    }
    std::span<const std::uint8_t> pending = kernel->bytes();
    while (!pending.empty()) {
        const ssize_t written = ::send(fd_, pending.data(), pending.size(), 0);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(last_system_error());
        }
        pending = pending.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

TransportResult<CanFrame> SocketCanTransport::recv(Duration timeout) {
    const timeval limit = receive_timeout_for(timeout);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        return std::unexpected(last_system_error());
    }
    canfd_frame buffer{};
    const ssize_t received = ::recv(fd_, &buffer, sizeof buffer, 0);
    if (received < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT) {
            return std::unexpected(TransportError::timeout());
        }
        return std::unexpected(TransportError::backend(error));
    }
    return from_kernel(buffer, static_cast<std::size_t>(received));
}

}  // namespace axiolink::transport
