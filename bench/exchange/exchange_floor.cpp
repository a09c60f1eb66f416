// exchange_floor [--clock-read]: the floor of the exchange benchmark.
//
// Per exchange it makes exactly the system calls the library's design needs
// and nothing else: one send of the command, then for each frame read one
// setsockopt(SO_RCVTIMEO) and one recv, until the reply's id arrives. No
// clock is read and nothing is decoded. The socket is opened as the library
// opens it (bound, FD frames on). With --clock-read it also reads the
// monotonic clock once after the send, as the library's reply deadline does;
// that shows what the clock read costs where it is a system call.

#include <linux/can.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "exchange/worker.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using axiolink::bench::ExchangeResult;
using axiolink::transport::SocketCanTransport;

bool g_clock_read = false;

std::unexpected<std::string> system_failure(std::string_view call) {
    return std::unexpected(std::string(call) + ": " + std::strerror(errno));
}

class FloorSession {
public:
    static std::expected<FloorSession, std::string> open() {
        auto bus = SocketCanTransport::open(axiolink::bench::kInterface);
        if (!bus) {
            return std::unexpected(bus.error().message());
        }
        return FloorSession(std::move(*bus));
    }

    ExchangeResult exchange() noexcept {
        if (::send(fd_, &command_, sizeof command_, 0) != static_cast<ssize_t>(sizeof command_)) {
            return system_failure("send");
        }
        if (g_clock_read) {
            (void)axiolink::bench::monotonic_nanos();
        }
        for (;;) {
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout_, sizeof timeout_) != 0) {
                return system_failure("setsockopt");
            }
            canfd_frame reply;
            if (::recv(fd_, &reply, sizeof reply, 0) < 0) {
                return system_failure("recv");
            }
            if (reply.can_id == axiolink::bench::kMasterId) {
                return {};
            }
        }
    }

private:
    explicit FloorSession(SocketCanTransport bus) : bus_(std::move(bus)), fd_(bus_.descriptor()) {
        command_.can_id = axiolink::bench::kMotorId;
        command_.len = static_cast<std::uint8_t>(axiolink::bench::kMitCommand.size());
        std::memcpy(command_.data, axiolink::bench::kMitCommand.data(), command_.len);
        timeout_.tv_usec = static_cast<suseconds_t>(axiolink::bench::kTimeoutMillis * 1000);
    }

    SocketCanTransport bus_;
    int fd_;
    can_frame command_{};
    timeval timeout_{};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--clock-read") {
        g_clock_read = true;
    } else if (argc != 1) {
        std::fputs("usage: exchange_floor [--clock-read] < rounds\n", stderr);
        return 2;
    }
    return axiolink::bench::serve_rounds<FloorSession>();
}
