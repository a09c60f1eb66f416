// exchange_driver [mit|enable]: the library's own C++ path as a requester,
// `Damiao::mit_control` (or `enable`) on a SocketCanTransport, without the
// Python layer. The difference to the Python rows is the binding's cost.

#include <cstdio>
#include <string_view>

#include "damiao/driver.hpp"
#include "exchange/worker.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using axiolink::bench::ExchangeResult;
using axiolink::damiao::Damiao;
using axiolink::damiao::MitSetpoint;
using axiolink::transport::Duration;
using axiolink::transport::SocketCanTransport;

bool g_enable = false;

class DriverSession {
public:
    static std::expected<DriverSession, std::string> open() {
        auto bus = SocketCanTransport::open(axiolink::bench::kInterface);
        if (!bus) {
            return std::unexpected(bus.error().message());
        }
        return DriverSession(std::move(*bus));
    }

    ExchangeResult exchange() {
        const auto state = g_enable ? motor_.enable(bus_) : motor_.mit_control(bus_, setpoint_);
        if (!state) {
            return std::unexpected(state.error().message());
        }
        return {};
    }

private:
    explicit DriverSession(SocketCanTransport bus) : bus_(std::move(bus)) {}

    SocketCanTransport bus_;
    Damiao motor_{axiolink::bench::kMotorId,
                  axiolink::bench::kMasterId,
                  {},
                  Duration::from_millis(axiolink::bench::kTimeoutMillis)};
    MitSetpoint setpoint_{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
};

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc == 2 ? argv[1] : "";
    if (argc != 2 || (command != "mit" && command != "enable")) {
        std::fputs("usage: exchange_driver mit|enable < rounds\n", stderr);
        return 2;
    }
    g_enable = command == "enable";
    return axiolink::bench::serve_rounds<DriverSession>();
}
