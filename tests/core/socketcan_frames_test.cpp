// Conversions between CanFrame and the kernel's frame structures, the
// receive time-out value, and the transport's error texts. No CAN socket
// needed: opening fails before the interface is looked up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "core/frame_expectations.hpp"
#include "transport/can.hpp"
#include "transport/socketcan_backend.hpp"

namespace axiolink::transport {
namespace {

// The expected layouts below are written as the little-endian bytes that both
// the reference ARMv7 target and x86-64 put on the socket.
static_assert(std::endian::native == std::endian::little);

using Bytes = std::vector<std::uint8_t>;

// `header` then `data`, zero-filled to `total` bytes.
Bytes layout(Bytes header, const Bytes& data, std::size_t total) {
    header.insert(header.end(), data.begin(), data.end());
    header.resize(total, 0x00);
    return header;
}

Bytes counting_bytes(std::size_t n, std::uint8_t first = 0x01) {
    Bytes out(n);
    std::iota(out.begin(), out.end(), first);
    return out;
}

Bytes bytes_of(const KernelFrame& kernel) {
    return {kernel.bytes().begin(), kernel.bytes().end()};
}

canfd_frame buffer_holding(const Bytes& bytes) {
    canfd_frame buffer{};
    std::memcpy(&buffer, bytes.data(), std::min(bytes.size(), sizeof buffer));
    return buffer;
}

struct LayoutCase {
    const char* name;
    CanFrame frame;
    Bytes expected;
};

TEST(ToKernel, ClassicFrameLayout) {
    const LayoutCase cases[] = {
        {"standard, 3 bytes",
         {CanId::standard(0x123), {0x11, 0x22, 0x33}},
         {0x23, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  //
          0x11, 0x22, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"extended, 8 bytes",
         {CanId::extended(0x12345678), {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
         {0x78, 0x56, 0x34, 0x92, 0x08, 0x00, 0x00, 0x00,  //
          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        {"brs ignored on a classic frame",
         {CanId::standard(0x7FF), {0xAA}, false, true},
         {0xFF, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  //
          0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"empty payload",
         {CanId::standard(0x000), {}},
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"largest extended id",
         {CanId::extended(0x1FFFFFFF), {0x5A}},
         {0xFF, 0xFF, 0xFF, 0x9F, 0x01, 0x00, 0x00, 0x00,  //
          0x5A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"extended zero keeps the extended flag",
         {CanId::extended(0x000), {}},
         {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00,  //
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto kernel = to_kernel(c.frame);
        ASSERT_TRUE(kernel.has_value());
        EXPECT_EQ(kernel->size, 16u);
        EXPECT_EQ(bytes_of(*kernel), c.expected);
    }
}

TEST(ToKernel, FdFrameLayout) {
    const LayoutCase cases[] = {
        {"10 bytes padded to 12, with brs",
         {CanId::standard(0x7FF),
          {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A},
          true,
          true},
         layout({0xFF, 0x07, 0x00, 0x00, 0x0C, 0x05, 0x00, 0x00},
                {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x00, 0x00}, 72)},
        {"8 bytes without brs",
         {CanId::standard(0x123), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, true, false},
         layout({0x23, 0x01, 0x00, 0x00, 0x08, 0x04, 0x00, 0x00},
                {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 72)},
        {"empty payload, largest extended id",
         {CanId::extended(0x1FFFFFFF), {}, true, false},
         layout({0xFF, 0xFF, 0xFF, 0x9F, 0x00, 0x04, 0x00, 0x00}, {}, 72)},
        {"64 bytes",
         {CanId::standard(0x001), Payload(counting_bytes(64)), true, true},
         layout({0x01, 0x00, 0x00, 0x00, 0x40, 0x05, 0x00, 0x00}, counting_bytes(64), 72)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto kernel = to_kernel(c.frame);
        ASSERT_TRUE(kernel.has_value());
        EXPECT_EQ(kernel->size, 72u);
        EXPECT_EQ(bytes_of(*kernel), c.expected);
    }
}

TEST(ToKernel, FdLengthRisesToTheNextValidLengthWithZeroPadding) {
    const struct {
        std::size_t payload;
        std::uint8_t len;
    } cases[] = {
        {0, 0},   {1, 1},   {2, 2},   {3, 3},   {4, 4},   {5, 5},   {6, 6},   {7, 7},
        {8, 8},   {9, 12},  {12, 12}, {13, 16}, {16, 16}, {17, 20}, {20, 20}, {21, 24},
        {24, 24}, {25, 32}, {32, 32}, {33, 48}, {48, 48}, {49, 64}, {63, 64}, {64, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(fd_length_for(c.payload), c.len);
        const auto kernel =
            to_kernel({CanId::standard(0x100), Payload(Bytes(c.payload, 0xAA)), true});
        ASSERT_TRUE(kernel.has_value());
        EXPECT_EQ(kernel->fd.len, c.len);
        const Bytes data(kernel->fd.data, kernel->fd.data + CANFD_MAX_DLEN);
        EXPECT_EQ(data, layout(Bytes(c.payload, 0xAA), {}, CANFD_MAX_DLEN));
    }
}

TEST(ToKernel, RejectsIdentifiersOutOfRange) {
    const CanId ids[] = {CanId::standard(0x800), CanId::standard(0xFFFF),
                         CanId::extended(0x20000000), CanId::extended(0xFFFFFFFF)};
    for (const CanId id : ids) {
        for (const bool fd : {false, true}) {
            SCOPED_TRACE(testing::Message() << std::hex << id.value << (fd ? " fd" : " classic"));
            const auto kernel = to_kernel({id, {0x01}, fd});
            ASSERT_FALSE(kernel.has_value());
            EXPECT_EQ(kernel.error(), TransportError::invalid_id());
        }
    }
}

TEST(ToKernel, RejectsPayloadsTooLongForTheMode) {
    const auto classic = to_kernel({CanId::standard(0x123), Payload(counting_bytes(9))});
    ASSERT_FALSE(classic.has_value());
    EXPECT_EQ(classic.error(), TransportError::frame_too_large(9));
    EXPECT_EQ(classic.error().message(), "frame too large for selected mode: 9 bytes");

    const auto classic64 = to_kernel({CanId::standard(0x123), Payload(counting_bytes(64))});
    ASSERT_FALSE(classic64.has_value());
    EXPECT_EQ(classic64.error(), TransportError::frame_too_large(64));
}

TEST(ToKernel, RefusesAnFdPayloadBeyond64BytesInsteadOfCuttingIt) {
    const Payload oversized(counting_bytes(65));
    EXPECT_EQ(oversized.size(), 65u);
    const auto fd = to_kernel({CanId::standard(0x123), oversized, true});
    ASSERT_FALSE(fd.has_value());
    EXPECT_EQ(fd.error(), TransportError::frame_too_large(65));
    EXPECT_EQ(fd.error().message(), "frame too large for selected mode: 65 bytes");
    EXPECT_TRUE(to_kernel({CanId::standard(0x123), Payload(counting_bytes(64)), true}));
}

TEST(ToKernel, ChecksTheIdentifierBeforeTheLength) {
    const CanFrame both_wrong[] = {
        {CanId::standard(0x800), Payload(counting_bytes(9))},
        {CanId::extended(0x20000000), Payload(counting_bytes(9))},
    };
    for (const CanFrame& frame : both_wrong) {
        const auto kernel = to_kernel(frame);
        ASSERT_FALSE(kernel.has_value());
        EXPECT_EQ(kernel.error(), TransportError::invalid_id());
    }
}

struct ReceivedCase {
    const char* name;
    Bytes buffer;
    std::size_t bytes_read;
    CanFrame expected;
};

TEST(FromKernel, ConvertsWhatTheKernelDelivers) {
    const ReceivedCase cases[] = {
        {"classic data; bytes past len ignored",
         {0x23, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0xDE, 0xAD, 0xBE, 0xEF},
         16,
         {CanId::standard(0x123), {0x11, 0x22, 0x33}}},
        {"classic data; a set pad byte is no bit-rate switch",
         {0x23, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x42},
         16,
         {CanId::standard(0x123), {0x42}}},
        {"classic extended",
         {0x78, 0x56, 0x34, 0x92, 0x02, 0x00, 0x00, 0x00, 0xAB, 0xCD},
         16,
         {CanId::extended(0x12345678), {0xAB, 0xCD}}},
        {"classic empty",
         {0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
         16,
         {CanId::standard(0x011), {}}},
        {"remote frame: requested length of data area",
         {0x23, 0x01, 0x00, 0x40, 0x04, 0x00, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x55},
         16,
         {CanId::standard(0x123), {0xDE, 0xAD, 0xBE, 0xEF}}},
        {"remote frame, extended",
         {0x23, 0x01, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00},
         16,
         {CanId::extended(0x123), {}}},
        {"error frame: all 8 bytes whatever len",
         {0x04, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
          0x08},
         16,
         {CanId::standard(0x004), {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}}},
        {"error frame: class bits masked to 11 bits, len ignored",
         {0x34, 0x12, 0x00, 0x20, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x09},
         16,
         {CanId::standard(0x234), {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09}}},
        {"FD with bit-rate switch; bytes past len ignored",
         layout({0x23, 0x01, 0x00, 0x00, 0x0C, 0x05, 0x00, 0x00},
                {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xEE}, 72),
         72,
         {CanId::standard(0x123),
          {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C},
          true,
          true}},
        {"FD without bit-rate switch, extended",
         layout({0x78, 0x56, 0x34, 0x92, 0x02, 0x04, 0x00, 0x00}, {0xAB, 0xCD}, 72),
         72,
         {CanId::extended(0x12345678), {0xAB, 0xCD}, true, false}},
        {"FD with only the error state indicator",
         layout({0x23, 0x01, 0x00, 0x00, 0x01, 0x06, 0x00, 0x00}, {0x7E}, 72),
         72,
         {CanId::standard(0x123), {0x7E}, true, false}},
        {"FD empty, no flags at all",
         layout({0x23, 0x01, 0x00, 0x00}, {}, 72),
         72,
         {CanId::standard(0x123), {}, true, false}},
        {"FD 64 bytes",
         layout({0x00, 0x01, 0x00, 0x00, 0x40, 0x04, 0x00, 0x00}, counting_bytes(64), 72),
         72,
         {CanId::standard(0x100), Payload(counting_bytes(64)), true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto frame = from_kernel(buffer_holding(c.buffer), c.bytes_read);
        ASSERT_TRUE(frame.has_value());
        expect_same_frame(*frame, c.expected);
    }
}

TEST(FromKernel, ReadsOfAnotherSizeAreBackendErrors) {
    const canfd_frame buffer =
        buffer_holding({0x23, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x42});
    for (const std::size_t bytes_read : {0u, 1u, 8u, 15u, 17u, 64u, 71u, 73u}) {
        SCOPED_TRACE(bytes_read);
        const auto frame = from_kernel(buffer, bytes_read);
        ASSERT_FALSE(frame.has_value());
        EXPECT_EQ(frame.error(), TransportError::backend(EPROTO));
    }
}

TEST(FromKernel, LengthsBeyondTheFrameKindAreBackendErrors) {
    const struct {
        const char* name;
        Bytes header;
        std::size_t bytes_read;
    } cases[] = {
        {"classic len 9", {0x23, 0x01, 0x00, 0x00, 0x09}, 16},
        {"remote len 9", {0x23, 0x01, 0x00, 0x40, 0x09}, 16},
        {"FD len 65", {0x23, 0x01, 0x00, 0x00, 0x41, 0x04}, 72},
        {"FD len 255", {0x23, 0x01, 0x00, 0x00, 0xFF, 0x04}, 72},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto frame = from_kernel(buffer_holding(c.header), c.bytes_read);
        ASSERT_FALSE(frame.has_value());
        EXPECT_EQ(frame.error(), TransportError::backend(EPROTO));
    }
}

TEST(ReceiveTimeout, WholeMicrosecondsNeverZero) {
    const struct {
        Duration timeout;
        long seconds;
        long micros;
    } cases[] = {
        {{0, 0}, 0, 1},
        {{0, 999}, 0, 1},
        {{0, 1'000}, 0, 1},
        {{0, 1'999}, 0, 1},
        {{0, 2'000}, 0, 2},
        {Duration::from_millis(20), 0, 20'000},
        {{0, 999'999'999}, 0, 999'999},
        {{1, 0}, 1, 0},
        {{1, 999}, 1, 0},
        {{2'147'483'647, 5'000}, 2'147'483'647, 5},
        {{2'147'483'648, 5'000}, 2'147'483'647, 5},
        {{std::numeric_limits<std::uint64_t>::max(), 999'999'999}, 2'147'483'647, 999'999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.timeout.seconds << " s " << c.timeout.nanos << " ns");
        const timeval limit = receive_timeout_for(c.timeout);
        EXPECT_EQ(static_cast<long>(limit.tv_sec), c.seconds);
        EXPECT_EQ(static_cast<long>(limit.tv_usec), c.micros);
    }
}

TEST(TransportErrorText, EachKindReadsAsUsersSeeIt) {
    EXPECT_EQ(TransportError::backend(ENODEV).message(),
              "backend error: No such device (os error 19)");
    EXPECT_EQ(TransportError::backend(ENETDOWN).message(),
              "backend error: Network is down (os error 100)");
    EXPECT_EQ(TransportError::timeout().message(), "timeout waiting for frame");
    EXPECT_EQ(TransportError::frame_too_large(9).message(),
              "frame too large for selected mode: 9 bytes");
    EXPECT_EQ(TransportError::frame_too_large(65).message(),
              "frame too large for selected mode: 65 bytes");
    EXPECT_EQ(TransportError::invalid_id().message(), "invalid CAN id");
}

TEST(TransportErrorText, SystemErrorsCarryDescriptionAndNumber) {
    EXPECT_EQ(system_error_text(EINVAL), "Invalid argument (os error 22)");
    EXPECT_EQ(system_error_text(ENODEV), "No such device (os error 19)");
    EXPECT_EQ(system_error_text(EPROTO), "Protocol error (os error 71)");
    EXPECT_EQ(system_error_text(EINTR), "Interrupted system call (os error 4)");
}

TEST(TransportErrorText, ErrorsCompareByKindAndWhatTheyCarry) {
    EXPECT_EQ(TransportError::backend(19), TransportError::backend(19));
    EXPECT_NE(TransportError::backend(19), TransportError::backend(22));
    EXPECT_NE(TransportError::frame_too_large(9), TransportError::frame_too_large(65));
    EXPECT_NE(TransportError::timeout(), TransportError::invalid_id());
    EXPECT_EQ(TransportError::backend(71).os_error(), 71);
    EXPECT_EQ(TransportError::frame_too_large(65).length(), 65u);
}

// With no descriptor left, the interface lookup cannot open its own socket;
// that is what must be reported, not the C library's stand-in ENOENT.
TEST(SocketCanOpen, OutOfDescriptorsIsReportedAsSuch) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int next_free = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(next_free, 0);
    ::close(next_free);
    rlimit exhausted = saved;
    exhausted.rlim_cur = static_cast<rlim_t>(next_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    const auto opened = SocketCanTransport::open("vcan0");
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), TransportError::backend(EMFILE));
    EXPECT_EQ(opened.error().message(), "backend error: Too many open files (os error 24)");
}

}  // namespace
}  // namespace axiolink::transport
