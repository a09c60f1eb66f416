// SocketCanBusSet on the kernel's CAN stack (vcan0 and vcan1), each bus
// watched by an independent raw socket of its own.

#include <gtest/gtest.h>

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "open_transport.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace axiolink::transport {
namespace {

using Clock = std::chrono::steady_clock;

class RawSocket {
public:
    explicit RawSocket(const char* iface) : fd_(::socket(PF_CAN, SOCK_RAW, CAN_RAW)) {
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(::if_nametoindex(iface));
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error(std::string("raw socket on ") + iface);
        }
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    ~RawSocket() { ::close(fd_); }

    void write(canid_t id, std::uint8_t first_byte) {
        can_frame frame{};
        frame.can_id = id;
        frame.len = 8;
        frame.data[0] = first_byte;
        ASSERT_EQ(::write(fd_, &frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    }
    // The ids of the frames waiting here, in arrival order.
    std::vector<canid_t> waiting_ids() {
        std::vector<canid_t> ids;
        can_frame frame{};
        while (::recv(fd_, &frame, sizeof frame, MSG_DONTWAIT) == sizeof frame) {
            ids.push_back(frame.can_id);
        }
        return ids;
    }

private:
    int fd_;
};

TEST(BusSet, BatchesGoOutInOrderAndDrainDropsOnlyWhatWaitsAlready) {
    SocketCanTransport first = open_transport("vcan0");
    SocketCanTransport second = open_transport("vcan1");
    RawSocket peer0("vcan0");
    RawSocket peer1("vcan1");
    const std::array<SocketCanTransport*, 2> transports{&first, &second};
    SocketCanBusSet buses(transports);

    std::vector<CanFrame> batch;
    for (std::uint16_t id = 1; id <= 20; ++id) {  // more than one system call's worth
        batch.push_back(CanFrame{CanId::standard(id), Payload{1, 2, 3, 4, 5, 6, 7, 8}});
    }
    const BatchSent sent = buses.send(1, batch);
    EXPECT_EQ(sent.sent, 20U);
    EXPECT_FALSE(sent.error.has_value());
    std::vector<canid_t> expected(20);
    std::iota(expected.begin(), expected.end(), 1U);
    EXPECT_EQ(peer1.waiting_ids(), expected);
    EXPECT_TRUE(peer0.waiting_ids().empty());

    const std::array<CanFrame, 2> refused_second{CanFrame{CanId::standard(0x21), Payload{}},
                                                 CanFrame{CanId::standard(0x800), Payload{}}};
    const BatchSent partly = buses.send(0, refused_second);
    EXPECT_EQ(partly.sent, 1U);
    EXPECT_EQ(partly.error, TransportError::invalid_id());
    EXPECT_EQ(peer0.waiting_ids(), std::vector<canid_t>{0x21});

    for (std::uint8_t i = 0; i < 40; ++i) {
        peer0.write(0x100 + i, i);
    }
    ASSERT_TRUE(buses.drain(0).has_value());
    peer0.write(0x77, 7);
    std::array<BusFrame, 4> out{};
    const auto woken = buses.wait(Duration::from_millis(500), out);
    ASSERT_TRUE(woken.has_value());
    ASSERT_EQ(*woken, 1U);
    EXPECT_EQ(out[0].bus, 0U);
    EXPECT_EQ(out[0].frame.id, CanId::standard(0x77));
}

TEST(BusSet, OneWaitWakesForWhicheverBusHasFramesAndTimesOutOnSilence) {
    SocketCanTransport first = open_transport("vcan0");
    SocketCanTransport second = open_transport("vcan1");
    RawSocket peer1("vcan1");
    const std::array<SocketCanTransport*, 2> transports{&first, &second};
    SocketCanBusSet buses(transports);
    ASSERT_TRUE(buses.drain(0).has_value());
    ASSERT_TRUE(buses.drain(1).has_value());

    peer1.write(0x12, 2);
    peer1.write(0x13, 3);
    std::array<BusFrame, 8> out{};
    const auto woken = buses.wait(Duration::from_millis(2000), out);
    ASSERT_TRUE(woken.has_value());
    ASSERT_EQ(*woken, 2U);
    EXPECT_EQ(out[0].bus, 1U);
    EXPECT_EQ(out[0].frame.data[0], 2);
    EXPECT_EQ(out[1].frame.id, CanId::standard(0x13));

    const auto start = Clock::now();
    const auto silent = buses.wait(Duration::from_millis(30), out);
    EXPECT_EQ(silent.error(), TransportError::timeout());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
}  // namespace axiolink::transport
