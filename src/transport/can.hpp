#pragma once
// CAN frames, identifiers, time-outs and the transport interface.
//
// The transport moves whole frames and knows nothing of any motor protocol.
// Nothing here locks: one caller at a time uses a transport for the whole of
// each operation (including the whole reply wait of `request`).

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace axiolink::transport {

enum class IdKind : std::uint8_t { Standard, Extended };

// Equal only when kind and value are both equal: Standard 0x001 differs from
// Extended 0x001. Ranges (0x7FF / 0x1FFFFFFF) are checked by `send`, not here.
struct CanId {
    IdKind kind = IdKind::Standard;
    std::uint32_t value = 0;

    static constexpr CanId standard(std::uint16_t v) noexcept { return {IdKind::Standard, v}; }
    static constexpr CanId extended(std::uint32_t v) noexcept { return {IdKind::Extended, v}; }
    friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

// An owned, variable-length payload of up to 64 bytes, held inline so that
// receiving a frame never touches the heap.
class Payload {
public:
    static constexpr std::size_t kCapacity = 64;

    constexpr Payload() noexcept = default;
    // Keeps at most kCapacity bytes. A longer input is never cut silently:
    // the payload remembers its full length, so `size()` reports it and
    // `send` refuses the frame as too large.
    constexpr explicit Payload(std::span<const std::uint8_t> bytes) noexcept : size_(bytes.size()) {
        std::copy_n(bytes.begin(), stored(), bytes_.begin());
    }
    constexpr Payload(std::initializer_list<std::uint8_t> bytes) noexcept
        : Payload(std::span<const std::uint8_t>(bytes.begin(), bytes.size())) {}

    // The length given, which exceeds kCapacity only for a refused payload.
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr const std::uint8_t* data() const noexcept { return bytes_.data(); }
    constexpr std::span<const std::uint8_t> bytes() const noexcept {
        return {bytes_.data(), stored()};
    }
    constexpr std::uint8_t operator[](std::size_t i) const noexcept { return bytes_[i]; }
    friend constexpr bool operator==(const Payload& a, const Payload& b) noexcept {
        return a.size_ == b.size_ && std::ranges::equal(a.bytes(), b.bytes());
    }

private:
    constexpr std::size_t stored() const noexcept { return std::min(size_, kCapacity); }

    std::array<std::uint8_t, kCapacity> bytes_{};
    std::size_t size_ = 0;
};

// One frame as it crosses the interface. `data` holds at most 8 bytes for a
// classic frame and 64 for an FD frame; `send` enforces it. `brs` only means
// something when `fd` is set.
struct CanFrame {
    CanId id;
    Payload data;
    bool fd = false;
    bool brs = false;
};

// Whole seconds plus nanoseconds below one second.
struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanos = 0;

    static constexpr Duration from_millis(std::uint64_t ms) noexcept {
        return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
    }
    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// A point on the monotonic clock, in nanoseconds since it started.
struct MonotonicTime {
    std::uint64_t nanos = 0;

    static MonotonicTime now() noexcept;
    friend constexpr auto operator<=>(const MonotonicTime&, const MonotonicTime&) = default;
};

// The end of a reply wait: a time-out counted from one clock reading. It is
// kept as that reading plus the time-out, not as a point on the clock,
// because the longest time-outs (2^64 - 1 ms) lie far beyond 64-bit
// nanoseconds while the time left must stay exact: it is what each read may
// wait.
class ReplyDeadline {
public:
    constexpr ReplyDeadline(MonotonicTime start, Duration timeout) noexcept
        : start_(start), timeout_(timeout) {}

    // Strictly past: at the deadline itself a read still gets its turn.
    bool passed(MonotonicTime now) const noexcept { return elapsed(now) > timeout_; }
    // Time left at `now`; zero at or past the deadline.
    Duration left(MonotonicTime now) const noexcept;

private:
    Duration elapsed(MonotonicTime now) const noexcept;

    MonotonicTime start_;
    Duration timeout_;
};

// Every failure of the transport. Rendering is the only face users see:
//   Backend        "backend error: {strerror} (os error {errno})"
//   Timeout        "timeout waiting for frame"
//   FrameTooLarge  "frame too large for selected mode: {n} bytes"
//   InvalidId      "invalid CAN id"
class [[nodiscard]] TransportError {
public:
    enum class Kind : std::uint8_t { Backend, Timeout, FrameTooLarge, InvalidId };

    static TransportError backend(int os_error) noexcept { return {Kind::Backend, os_error, 0}; }
    static TransportError timeout() noexcept { return {Kind::Timeout, 0, 0}; }
    static TransportError frame_too_large(std::size_t len) noexcept {
        return {Kind::FrameTooLarge, 0, len};
    }
    static TransportError invalid_id() noexcept { return {Kind::InvalidId, 0, 0}; }

    Kind kind() const noexcept { return kind_; }
    int os_error() const noexcept { return os_error_; }      // Backend only
    std::size_t length() const noexcept { return length_; }  // FrameTooLarge only

    std::string message() const;
    friend bool operator==(const TransportError&, const TransportError&) = default;

private:
    TransportError(Kind k, int os_error, std::size_t len) noexcept
        : kind_(k), os_error_(os_error), length_(len) {}
    Kind kind_;
    int os_error_;
    std::size_t length_;
};

// "{C library description} (os error {n})", e.g. "No such device (os error 19)".
std::string system_error_text(int os_error);

template <class T>
using TransportResult = std::expected<T, TransportError>;

// Asked by a reply wait whether a signal calls for ending it: after a read
// that a signal interrupted (`read_interrupted` true) and between reads
// (false). The owner of a transport decides there whether a signal is for it
// (an interpreter that handles signals in one thread only); the handlers
// themselves run once the wait has ended and the transport is free, never
// from the check, which must run no code that could use the transport.
using InterruptionCheck = bool (*)(bool read_interrupted) noexcept;

// The interface every backend implements: `send` and one timed `recv`.
// `request` is provided here once, in terms of those two.
class CanTransport {
public:
    virtual ~CanTransport() = default;

    virtual TransportResult<void> send(const CanFrame& frame) = 0;
    // Waits at most `timeout` for the next frame of any identifier.
    virtual TransportResult<CanFrame> recv(Duration timeout) = 0;

    // Sends `frame` once, then returns the first received frame whose id
    // equals `expected`, discarding every other frame (see send_and_await).
    TransportResult<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

    // Sends `frame` once, then returns the first received frame that
    // `accept(frame)` takes, discarding every other one. The time-out is
    // counted from the completed send and bounds the whole wait: every read
    // gets only what is left of it. Nothing is retried: a failed send means
    // no read, and a failed read (Timeout or Backend) ends the wait.
    // Timeout comes only once the clock is strictly past the deadline, so a
    // zero time-out still makes one read with zero left; backends must not
    // turn that into an unbounded wait (SocketCanTransport waits 1 us).
    // An interrupted read (Backend EINTR) ends the wait with that error,
    // unless the interruption check says the signal is not this wait's
    // concern; then the wait goes on with what is left of its time. A check
    // that says so between reads ends the wait as Backend EINTR too.
    template <class Accept>
    TransportResult<CanFrame> send_and_await(const CanFrame& frame, Duration timeout,
                                             Accept&& accept) {
        if (auto sent = send(frame); !sent) {
            return std::unexpected(sent.error());
        }
        // One clock reading both sets the deadline and times the first wait:
        // where reading the clock is itself a system call (a User-Mode Linux
        // guest), a second reading would cost as much as the read that follows.
        MonotonicTime current = now();
        const ReplyDeadline deadline(current, timeout);
        for (;;) {
            if (deadline.passed(current)) {
                return std::unexpected(TransportError::timeout());
            }
            auto received = recv(deadline.left(current));
            if (!received) {
                if (received.error() != TransportError::backend(EINTR) || signal_ends_wait(true)) {
                    return received;
                }
            } else if (accept(*received)) {
                return received;
            } else if (signal_ends_wait(false)) {
                return std::unexpected(TransportError::backend(EINTR));
            }
            current = now();
        }
    }

    // Replaces the check (nullptr: none, the default). Moving a transport
    // moves its check with it.
    void set_interruption_check(InterruptionCheck check) noexcept { interruption_check_ = check; }

protected:
    CanTransport() = default;
    CanTransport(const CanTransport&) = default;
    CanTransport& operator=(const CanTransport&) = default;

    // The clock deadlines are measured on; tests replace it.
    virtual MonotonicTime now() const noexcept { return MonotonicTime::now(); }

private:
    // Without a check every interrupted read ends the wait, and nothing
    // between reads does.
    bool signal_ends_wait(bool read_interrupted) const noexcept {
        return interruption_check_ != nullptr ? interruption_check_(read_interrupted)
                                              : read_interrupted;
    }

    InterruptionCheck interruption_check_ = nullptr;
};

}  // namespace axiolink::transport
