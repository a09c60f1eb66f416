// exchange_responder: the smallest motor the exchange benchmark can talk to.
//
// Answers every frame at the motor id with one fixed feedback frame at the
// master id: one blocking recv and one send per exchange, nothing decoded,
// no clock read. Prints "ready" once its socket is bound; runs until killed.

#include <linux/can.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "exchange/worker.hpp"
#include "transport/socketcan_backend.hpp"

int main() {
    using namespace axiolink::bench;
    auto bus = axiolink::transport::SocketCanTransport::open(kInterface);
    if (!bus) {
        std::fprintf(stderr, "exchange_responder: %s\n", bus.error().message().c_str());
        return 1;
    }
    const int fd = bus->descriptor();
    can_frame reply{};
    reply.can_id = kMasterId;
    reply.len = static_cast<std::uint8_t>(kFeedback.size());
    std::memcpy(reply.data, kFeedback.data(), reply.len);
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        canfd_frame command;
        if (::recv(fd, &command, sizeof command, 0) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("exchange_responder: recv");
            return 1;
        }
        if (command.can_id == kMotorId && ::send(fd, &reply, sizeof reply, 0) < 0) {
            std::perror("exchange_responder: send");
            return 1;
        }
    }
}
