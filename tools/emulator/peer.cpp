// dm-emulator-peer: a minimal requester for exercising a motor (or the
// emulator) on a SocketCAN interface, and for measuring its exchange rate.
//
//   dm-emulator-peer --iface IFACE --send ID#HEX --expect ID [--timeout-ms MS]
//                    [--repeat N]
//
// Sends the frame, then waits for a frame at the expected id and prints it as
// ID#HEX. Ids are written as cansend writes them: three hex digits for a
// Standard id, eight for an Extended one. With --repeat it makes N exchanges
// back to back (one write and one blocking read each) and reports the rate
// on stderr. Exit status: 0 when every exchange got its reply, 1 when one
// did not (time-out) or the bus failed, 2 for bad arguments.

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/socketcan_backend.hpp"

namespace {

using axiolink::transport::CanFrame;
using axiolink::transport::CanId;
using axiolink::transport::MonotonicTime;
using axiolink::transport::Payload;

struct Arguments {
    std::string iface;
    CanFrame request;
    CanId expected;
    std::uint64_t timeout_ms = 1000;
    std::uint64_t repeat = 1;
};

std::optional<std::uint32_t> parse_hex(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<CanId> parse_id(std::string_view text) {
    const auto value = parse_hex(text);
    if (!value) {
        return std::nullopt;
    }
    if (text.size() == 3 && *value <= 0x7FF) {
        return CanId::standard(static_cast<std::uint16_t>(*value));
    }
    if (text.size() == 8 && *value <= 0x1FFFFFFF) {
        return CanId::extended(*value);
    }
    return std::nullopt;
}

std::optional<CanFrame> parse_frame(std::string_view text) {
    const auto hash = text.find('#');
    if (hash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto id = parse_id(text.substr(0, hash));
    std::string_view hex = text.substr(hash + 1);
    if (!id || hex.size() % 2 != 0 || hex.size() > 16) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (; !hex.empty(); hex.remove_prefix(2)) {
        const auto byte = parse_hex(hex.substr(0, 2));
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*byte));
    }
    return CanFrame{*id, Payload(bytes)};
}

std::string frame_text(const CanFrame& frame) {
    std::array<char, 16> id{};
    std::snprintf(id.data(), id.size(),
                  frame.id.kind == axiolink::transport::IdKind::Extended ? "%08X#" : "%03X#",
                  static_cast<unsigned>(frame.id.value));
    std::string text = id.data();
    for (const std::uint8_t byte : frame.data.bytes()) {
        std::array<char, 4> digits{};
        std::snprintf(digits.data(), digits.size(), "%02X", static_cast<unsigned>(byte));
        text += digits.data();
    }
    return text;
}

std::optional<Arguments> parse_arguments(int argc, char** argv) {
    Arguments arguments;
    bool have_request = false;
    bool have_expected = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const std::string_view value = argv[i + 1];
        if (name == "--iface") {
            arguments.iface = value;
        } else if (name == "--send") {
            const auto frame = parse_frame(value);
            if (!frame) {
                return std::nullopt;
            }
            arguments.request = *frame;
            have_request = true;
        } else if (name == "--expect") {
            const auto id = parse_id(value);
            if (!id) {
                return std::nullopt;
            }
            arguments.expected = *id;
            have_expected = true;
        } else if (name == "--timeout-ms" || name == "--repeat") {
            std::uint64_t number = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), number);
            if (error != std::errc{} || end != value.data() + value.size() || number == 0) {
                return std::nullopt;
            }
            (name == "--repeat" ? arguments.repeat : arguments.timeout_ms) = number;
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0 || arguments.iface.empty() || !have_request || !have_expected) {
        return std::nullopt;
    }
    return arguments;
}

// Reads until a frame at `expected` arrives; each read waits at most the
// socket's receive time-out.
std::optional<CanFrame> await_reply(int descriptor, CanId expected) {
    for (;;) {
        canfd_frame buffer{};
        const ssize_t count = ::read(descriptor, &buffer, sizeof buffer);
        if (count < 0) {
            return std::nullopt;
        }
        auto frame = axiolink::transport::from_kernel(buffer, static_cast<std::size_t>(count));
        if (frame && frame->id == expected) {
            return *frame;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto arguments = parse_arguments(argc, argv);
    if (!arguments) {
        std::fputs(
            "usage: dm-emulator-peer --iface IFACE --send ID#HEX --expect ID "
            "[--timeout-ms MS] [--repeat N]\n",
            stderr);
        return 2;
    }
    auto bus = axiolink::transport::SocketCanTransport::open(arguments->iface);
    if (!bus) {
        std::fprintf(stderr, "dm-emulator-peer: %s\n", bus.error().message().c_str());
        return 1;
    }
    const timeval timeout{static_cast<time_t>(arguments->timeout_ms / 1000),
                          static_cast<suseconds_t>(arguments->timeout_ms % 1000 * 1000)};
    ::setsockopt(bus->descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    const MonotonicTime start = MonotonicTime::now();
    std::optional<CanFrame> reply;
    for (std::uint64_t i = 0; i < arguments->repeat; ++i) {
        if (const auto sent = bus->send(arguments->request); !sent) {
            std::fprintf(stderr, "dm-emulator-peer: %s\n", sent.error().message().c_str());
            return 1;
        }
        reply = await_reply(bus->descriptor(), arguments->expected);
        if (!reply) {
            std::fprintf(stderr, "dm-emulator-peer: no reply to exchange %llu\n",
                         static_cast<unsigned long long>(i + 1));
            return 1;
        }
    }
    const double seconds = static_cast<double>(MonotonicTime::now().nanos - start.nanos) / 1e9;
    std::printf("%s\n", frame_text(*reply).c_str());
    if (arguments->repeat > 1) {
        std::fprintf(stderr, "%llu exchanges in %.3f s: %.0f per second\n",
                     static_cast<unsigned long long>(arguments->repeat), seconds,
                     static_cast<double>(arguments->repeat) / seconds);
    }
    return 0;
}
