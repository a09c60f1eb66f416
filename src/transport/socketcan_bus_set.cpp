#include "transport/socketcan_bus_set.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace axiolink::transport {
namespace {

// Frames moved per system call; a batch larger than this takes more calls.
constexpr std::size_t kBatch = 16;
// A full interface queue (ENOBUFS) gives no sign when it has room again, so
// the send is tried again after a pause: about one frame's time on a 1 Mbit/s
// wire at first, longer while the queue stays full, never past the deadline.
constexpr std::uint64_t kFirstRetryNanos = 100'000;
constexpr std::uint64_t kLongestRetryNanos = 800'000;

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

using Taken = SocketCanBusSet::Taken;

// Reads what is waiting on `fd` into `out` (as frames of bus `bus`), up to
// out.size() frames, without waiting.
Taken read_waiting(int fd, std::size_t bus, std::span<BusFrame> out) noexcept {
    ReadBatch batch;
    Taken taken;
    while (taken.count < out.size()) {
        const auto wanted = static_cast<unsigned int>(std::min(out.size() - taken.count, kBatch));
        const int got = ::recvmmsg(fd, batch.headers.data(), wanted, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                taken.error = TransportError::backend(errno);
            }
            break;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            // The kernel makes no frame that fails conversion; one would be
            // dropped like any other frame that answers nothing.
            auto frame = from_kernel(batch.frames[i], batch.headers[i].msg_len);
            if (frame) {
                out[taken.count++] = BusFrame{bus, *frame};
            }
        }
        if (static_cast<unsigned int>(got) < wanted) {
            break;
        }
    }
    return taken;
}

timespec as_timespec(Duration timeout) noexcept {
    constexpr std::uint64_t kMaxSeconds = 0x7FFF'FFFF;
    return timespec{static_cast<time_t>(std::min(timeout.seconds, kMaxSeconds)),
                    static_cast<long>(timeout.nanos)};
}

Duration nanos_as_duration(std::uint64_t nanos) noexcept {
    return {nanos / 1'000'000'000, static_cast<std::uint32_t>(nanos % 1'000'000'000)};
}

}  // namespace

SocketCanBusSet::SocketCanBusSet(std::span<SocketCanTransport* const> buses) noexcept
    : count_(std::min(buses.size(), kMaxBuses)) {
    for (std::size_t i = 0; i < count_; ++i) {
        descriptors_[i] = buses[i]->descriptor();
    }
}

BatchSent SocketCanBusSet::send(std::size_t bus, std::span<const CanFrame> frames,
                                MonotonicTime until) {
    BatchSent result;
    std::array<KernelFrame, kBatch> kernel{};
    std::array<iovec, kBatch> vectors{};
    std::array<mmsghdr, kBatch> headers{};
    std::uint64_t retry_nanos = kFirstRetryNanos;
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
        const int written = ::sendmmsg(descriptors_[bus], headers.data(),
                                       static_cast<unsigned int>(ready), MSG_DONTWAIT);
        if (written > 0) {
            result.sent += static_cast<std::size_t>(written);
            retry_nanos = kFirstRetryNanos;
            continue;
        }
        const int failed = errno;
        if (failed == EINTR) {
            continue;
        }
        if (failed != ENOBUFS && failed != EAGAIN && failed != EWOULDBLOCK) {
            result.error = TransportError::backend(failed);
            return result;
        }
        // The queue is full: wait for room, within the deadline.
        const MonotonicTime current = now();
        if (current >= until) {
            result.error = TransportError::backend(failed);
            return result;
        }
        const std::uint64_t left = until.nanos - current.nanos;
        int woken = 0;
        if (failed == ENOBUFS) {
            const timespec pause = as_timespec(nanos_as_duration(std::min(left, retry_nanos)));
            woken = ::ppoll(nullptr, 0, &pause, nullptr);
            retry_nanos = std::min(retry_nanos * 2, kLongestRetryNanos);
        } else {
            // The socket's own buffer is full: it says when frames have left.
            pollfd writable{descriptors_[bus], POLLOUT, 0};
            const timespec limit = as_timespec(nanos_as_duration(left));
            woken = ::ppoll(&writable, 1, &limit, nullptr);
        }
        if (woken < 0) {
            result.error = TransportError::backend(errno);
            return result;
        }
    }
    return result;
}

TransportResult<std::size_t> SocketCanBusSet::handed_over(Taken taken) noexcept {
    if (taken.error) {
        if (taken.count == 0) {
            return std::unexpected(*taken.error);
        }
        // A socket reports an error once (the link went down): it waits for
        // the next call, after the frames read before it.
        deferred_error_ = taken.error;
    }
    return taken.count;
}

TransportResult<std::size_t> SocketCanBusSet::take_waiting(std::size_t bus,
                                                           std::span<BusFrame> out) {
    if (deferred_error_) {
        return std::unexpected(*std::exchange(deferred_error_, std::nullopt));
    }
    return handed_over(read_waiting(descriptors_[bus], bus, out));
}

TransportResult<std::size_t> SocketCanBusSet::wait(Duration timeout, std::span<BusFrame> out) {
    if (deferred_error_) {
        return std::unexpected(*std::exchange(deferred_error_, std::nullopt));
    }
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
    // Each bus with frames gets an equal share of `out`, and the bus read
    // first moves on with every wake-up: a flood on one bus leaves room for
    // the answers waiting on the others.
    const std::size_t share = std::max<std::size_t>(1, out.size() / static_cast<std::size_t>(ready));
    const std::size_t first = first_turn_ < count_ ? first_turn_ : 0;
    first_turn_ = first + 1 < count_ ? first + 1 : 0;
    Taken taken;
    for (std::size_t turn = 0; turn < count_ && taken.count < out.size(); ++turn) {
        const std::size_t bus = (first + turn) % count_;
        if (polled[bus].revents == 0) {
            continue;
        }
        const std::size_t room = std::min(share, out.size() - taken.count);
        const Taken got = read_waiting(descriptors_[bus], bus, out.subspan(taken.count, room));
        taken.count += got.count;
        if (got.error && !taken.error) {
            taken.error = got.error;
        }
    }
    return handed_over(taken);
}

}  // namespace axiolink::transport
