#include "transport/socketcan_bus_set.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace axiolink::transport {
namespace {

// Frames moved per system call; a batch larger than this takes more calls.
constexpr std::size_t kBatch = 16;

struct ReadBatch {
    std::array<canfd_frame, kBatch> frames{};
    std::array<iovec, kBatch> vectors{};
    std::array<mmsghdr, kBatch> headers{};

    explicit ReadBatch() noexcept {
        for (std::size_t i = 0; i < kBatch; ++i) {
            vectors[i] = iovec{&frames[i], sizeof(canfd_frame)};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// Reads what is waiting on `fd`, up to `limit` frames, without waiting.
// Returns how many arrived; zero when none was waiting.
TransportResult<std::size_t> read_waiting(int fd, ReadBatch& batch, std::size_t limit) noexcept {
    const auto wanted = static_cast<unsigned int>(std::min(limit, kBatch));
    const int got = ::recvmmsg(fd, batch.headers.data(), wanted, MSG_DONTWAIT, nullptr);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return std::unexpected(TransportError::backend(errno));
    }
    return static_cast<std::size_t>(got);
}

timespec as_timespec(Duration timeout) noexcept {
    constexpr std::uint64_t kMaxSeconds = 0x7FFF'FFFF;
    return timespec{static_cast<time_t>(std::min(timeout.seconds, kMaxSeconds)),
                    static_cast<long>(timeout.nanos)};
}

}  // namespace

SocketCanBusSet::SocketCanBusSet(std::span<SocketCanTransport* const> buses) noexcept
    : count_(std::min(buses.size(), kMaxBuses)) {
    for (std::size_t i = 0; i < count_; ++i) {
        descriptors_[i] = buses[i]->descriptor();
    }
}

BatchSent SocketCanBusSet::send(std::size_t bus, std::span<const CanFrame> frames) {
    BatchSent result;
    std::array<KernelFrame, kBatch> kernel{};
    std::array<iovec, kBatch> vectors{};
    std::array<mmsghdr, kBatch> headers{};
    while (result.sent < frames.size()) {
        const std::size_t first = result.sent;
        const std::size_t count = std::min(frames.size() - first, kBatch);
        // A frame the kernel cannot take ends the batch before it.
        std::size_t ready = 0;
        for (; ready < count; ++ready) {
            auto converted = to_kernel(frames[first + ready]);
            if (!converted) {
                if (ready == 0) {
                    result.error = converted.error();
                    return result;
                }
                break;
            }
            kernel[ready] = *converted;
            vectors[ready] =
                iovec{const_cast<std::uint8_t*>(kernel[ready].bytes().data()), kernel[ready].size};
            headers[ready] = mmsghdr{};
            headers[ready].msg_hdr.msg_iov = &vectors[ready];
            headers[ready].msg_hdr.msg_iovlen = 1;
        }
        const int written =
            ::sendmmsg(descriptors_[bus], headers.data(), static_cast<unsigned int>(ready), 0);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = TransportError::backend(errno);
            return result;
        }
        result.sent += static_cast<std::size_t>(written);
    }
    return result;
}

TransportResult<void> SocketCanBusSet::drain(std::size_t bus) {
    ReadBatch batch;
    for (;;) {
        auto got = read_waiting(descriptors_[bus], batch, kBatch);
        if (!got) {
            return std::unexpected(got.error());
        }
        if (*got < kBatch) {
            return {};
        }
    }
}

TransportResult<std::size_t> SocketCanBusSet::wait(Duration timeout, std::span<BusFrame> out) {
    std::array<pollfd, kMaxBuses> polled{};
    for (std::size_t i = 0; i < count_; ++i) {
        polled[i] = pollfd{descriptors_[i], POLLIN, 0};
    }
    const timespec limit = as_timespec(timeout);
    const int ready = ::ppoll(polled.data(), count_, &limit, nullptr);
    if (ready < 0) {
        return std::unexpected(TransportError::backend(errno));
    }
    if (ready == 0) {
        return std::unexpected(TransportError::timeout());
    }
    std::size_t taken = 0;
    ReadBatch batch;
    for (std::size_t bus = 0; bus < count_ && taken < out.size(); ++bus) {
        if (polled[bus].revents == 0) {
            continue;
        }
        auto got = read_waiting(descriptors_[bus], batch, out.size() - taken);
        if (!got) {
            if (taken > 0) {
                break;  // hand over what arrived; the next wait reports it
            }
            return std::unexpected(got.error());
        }
        for (std::size_t i = 0; i < *got; ++i) {
            // The kernel makes no frame that fails conversion; one would be
            // dropped like any other frame that answers nothing.
            auto frame = from_kernel(batch.frames[i], batch.headers[i].msg_len);
            if (frame) {
                out[taken++] = BusFrame{bus, *frame};
            }
        }
    }
    return taken;
}

}  // namespace axiolink::transport
