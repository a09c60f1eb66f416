// Conversions between frame records and the kernel's frame structures.
//
// from_kernel: any buffer and byte count either fails as Backend EPROTO or
// gives a frame that to_kernel writes back to the kernel form it came from
// (identifier, length rounded up to a valid FD length, flags, zero padding).
// to_kernel: any record fails exactly as its identifier and length say, or
// gives a kernel frame that reads back as the same record.

#include <linux/can.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "fuzz_input.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using axiolink::fuzzing::FuzzInput;
using axiolink::transport::CanFrame;
using axiolink::transport::CanId;
using axiolink::transport::from_kernel;
using axiolink::transport::IdKind;
using axiolink::transport::KernelFrame;
using axiolink::transport::Payload;
using axiolink::transport::to_kernel;
using axiolink::transport::TransportError;

// The lengths an FD frame can have; a payload travels in the first that
// holds it.
std::size_t valid_fd_length(std::size_t length) {
    constexpr std::array<std::size_t, 16> kLengths{0, 1,  2,  3,  4,  5,  6,  7,
                                                   8, 12, 16, 20, 24, 32, 48, 64};
    return *std::ranges::find_if(kLengths, [length](std::size_t valid) { return valid >= length; });
}

bool all_zero(const std::uint8_t* bytes, std::size_t count) {
    return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0; });
}

// What the kernel frame must read back as, given that it was written from
// `frame`: FD payloads grow to the next valid length with zeros.
CanFrame padded(const CanFrame& frame) {
    if (!frame.fd) {
        return frame;
    }
    std::uint8_t bytes[CANFD_MAX_DLEN]{};
    std::ranges::copy(frame.data.bytes(), bytes);
    return CanFrame{frame.id, Payload(std::span(bytes, valid_fd_length(frame.data.size()))), true,
                    frame.brs};
}

void check_written(const CanFrame& frame, const KernelFrame& kernel) {
    const canid_t raw = kernel.fd.can_id;
    const bool extended = frame.id.kind == IdKind::Extended;
    FUZZ_CHECK(((raw & CAN_EFF_FLAG) != 0) == extended);
    FUZZ_CHECK((raw & (CAN_RTR_FLAG | CAN_ERR_FLAG)) == 0);
    FUZZ_CHECK((raw & CAN_EFF_MASK) == frame.id.value);
    if (frame.fd) {
        FUZZ_CHECK(kernel.size == CANFD_MTU);
        FUZZ_CHECK(kernel.fd.len == valid_fd_length(frame.data.size()));
        FUZZ_CHECK(kernel.fd.flags == (CANFD_FDF | (frame.brs ? CANFD_BRS : 0)));
        FUZZ_CHECK(kernel.fd.__res0 == 0 && kernel.fd.__res1 == 0);
        FUZZ_CHECK(std::memcmp(kernel.fd.data, frame.data.data(), frame.data.size()) == 0);
        FUZZ_CHECK(
            all_zero(kernel.fd.data + frame.data.size(), CANFD_MAX_DLEN - frame.data.size()));
    } else {
        FUZZ_CHECK(kernel.size == CAN_MTU);
        FUZZ_CHECK(kernel.classic.len == frame.data.size());
        FUZZ_CHECK(kernel.classic.__pad == 0 && kernel.classic.__res0 == 0 &&
                   kernel.classic.len8_dlc == 0);
        FUZZ_CHECK(std::memcmp(kernel.classic.data, frame.data.data(), frame.data.size()) == 0);
        FUZZ_CHECK(
            all_zero(kernel.classic.data + frame.data.size(), CAN_MAX_DLEN - frame.data.size()));
    }
    // Read back as the kernel would hand it over.
    canfd_frame buffer{};
    std::memcpy(&buffer, kernel.bytes().data(), kernel.size);
    const auto read_back = from_kernel(buffer, kernel.size);
    FUZZ_CHECK(read_back.has_value());
    const CanFrame expected = padded(frame);
    FUZZ_CHECK(read_back->id == expected.id && read_back->data == expected.data);
    FUZZ_CHECK(read_back->fd == expected.fd && (!frame.fd || read_back->brs == expected.brs));
}

void check_to_kernel(FuzzInput& input) {
    CanFrame frame;
    frame.id.kind = input.take_bool() ? IdKind::Extended : IdKind::Standard;
    frame.id.value = input.take<std::uint32_t>();
    frame.fd = input.take_bool();
    frame.brs = input.take_bool();
    // Up to 80 bytes: past both limits, so refusals are reached too.
    const std::size_t length = input.take<std::uint8_t>() % 81U;
    std::uint8_t bytes[80]{};
    const auto given = input.take_bytes(length);
    std::ranges::copy(given, bytes);
    frame.data = Payload(std::span(bytes, length));

    const auto kernel = to_kernel(frame);
    const std::uint32_t id_limit = frame.id.kind == IdKind::Extended ? CAN_EFF_MASK : CAN_SFF_MASK;
    const std::size_t length_limit = frame.fd ? CANFD_MAX_DLEN : CAN_MAX_DLEN;
    if (frame.id.value > id_limit) {
        FUZZ_CHECK(!kernel && kernel.error() == TransportError::invalid_id());
    } else if (length > length_limit) {
        FUZZ_CHECK(!kernel && kernel.error() == TransportError::frame_too_large(length));
    } else {
        FUZZ_CHECK(kernel.has_value());
        check_written(frame, *kernel);
    }
}

void check_from_kernel(FuzzInput& input) {
    canfd_frame buffer{};
    const auto raw = input.take_bytes(sizeof buffer);
    std::memcpy(&buffer, raw.data(), raw.size());
    // Mostly the two sizes the kernel uses, sometimes any other.
    const std::uint8_t pick = input.take<std::uint8_t>();
    const std::size_t bytes_read = pick < 100 ? CAN_MTU : pick < 200 ? CANFD_MTU : pick;

    const auto frame = from_kernel(buffer, bytes_read);
    const bool classic = bytes_read == CAN_MTU;
    const bool error_frame = classic && (buffer.can_id & CAN_ERR_FLAG) != 0;
    const bool sane_length = buffer.len <= (classic ? CAN_MAX_DLEN : CANFD_MAX_DLEN);
    if (!(classic || bytes_read == CANFD_MTU) || !(error_frame || sane_length)) {
        FUZZ_CHECK(!frame && frame.error() == TransportError::backend(EPROTO));
        return;
    }
    FUZZ_CHECK(frame.has_value());
    const bool extended = (buffer.can_id & CAN_EFF_FLAG) != 0;
    FUZZ_CHECK(frame->id == (extended ? CanId::extended(buffer.can_id & CAN_EFF_MASK)
                                      : CanId::standard(buffer.can_id & CAN_SFF_MASK)));
    const std::size_t length = error_frame ? CAN_MAX_DLEN : buffer.len;
    FUZZ_CHECK(frame->data.size() == length);
    FUZZ_CHECK(std::memcmp(frame->data.data(), buffer.data, length) == 0);
    FUZZ_CHECK(frame->fd == !classic);
    FUZZ_CHECK(classic ? !frame->brs : frame->brs == ((buffer.flags & CANFD_BRS) != 0));
    const auto written = to_kernel(*frame);
    FUZZ_CHECK(written.has_value());
    check_written(*frame, *written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    if (input.take_bool()) {
        check_to_kernel(input);
    } else {
        check_from_kernel(input);
    }
    return 0;
}
