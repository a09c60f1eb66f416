// SocketCanBusSet on the kernel's CAN stack (vcan0 and vcan1), each bus
// watched by an independent raw socket of its own.

#include <gtest/gtest.h>

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "open_transport.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace axiolink::transport {
namespace {

using Clock = std::chrono::steady_clock;

MonotonicTime in_ms(std::uint64_t ms) {
    return MonotonicTime{MonotonicTime::now().nanos + ms * 1'000'000};
}

// Takes off everything waiting on `bus`.
std::size_t take_all(BusSet& buses, std::size_t bus) {
    std::array<BusFrame, 64> out{};
    std::size_t total = 0;
    for (;;) {
        const auto got = buses.take_waiting(bus, out);
        EXPECT_TRUE(got.has_value());
        if (!got || *got == 0) {
            return total;
        }
        total += *got;
    }
}

// Runs a command in the guest (which runs the tests as root).
void shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

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
    const BatchSent sent = buses.send(1, batch, in_ms(1000));
    EXPECT_EQ(sent.sent, 20U);
    EXPECT_FALSE(sent.error.has_value());
    std::vector<canid_t> expected(20);
    std::iota(expected.begin(), expected.end(), 1U);
    EXPECT_EQ(peer1.waiting_ids(), expected);
    EXPECT_TRUE(peer0.waiting_ids().empty());

    const std::array<CanFrame, 2> refused_second{CanFrame{CanId::standard(0x21), Payload{}},
                                                 CanFrame{CanId::standard(0x800), Payload{}}};
    const BatchSent partly = buses.send(0, refused_second, in_ms(1000));
    EXPECT_EQ(partly.sent, 1U);
    EXPECT_EQ(partly.error, TransportError::invalid_id());
    EXPECT_EQ(peer0.waiting_ids(), std::vector<canid_t>{0x21});

    for (std::uint8_t i = 0; i < 40; ++i) {
        peer0.write(0x100 + i, i);
    }
    EXPECT_EQ(take_all(buses, 0), 40U);
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
    take_all(buses, 0);
    take_all(buses, 1);

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

TEST(BusSet, AFloodOnOneBusLeavesRoomForTheOthersFrames) {
    SocketCanTransport first = open_transport("vcan0");
    SocketCanTransport second = open_transport("vcan1");
    RawSocket peer0("vcan0");
    RawSocket peer1("vcan1");
    const std::array<SocketCanTransport*, 2> transports{&first, &second};
    SocketCanBusSet buses(transports);
    take_all(buses, 0);
    take_all(buses, 1);
    for (int i = 0; i < 200; ++i) {
        peer0.write(0x123, 0);
    }
    peer1.write(0x12, 2);
    // Every wake-up, whichever bus it reads first, has room for bus 1.
    for (int wake = 0; wake < 2; ++wake) {
        peer1.write(0x12, 2);
        std::array<BusFrame, 16> out{};
        const auto woken = buses.wait(Duration::from_millis(2000), out);
        ASSERT_TRUE(woken.has_value());
        EXPECT_TRUE(std::any_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*woken),
                                [](const BusFrame& f) { return f.bus == 1; }))
            << "wake-up " << wake;
    }
}

TEST(BusSet, WithRoomForOneFrameTheBusesTakeTurns) {
    SocketCanTransport first = open_transport("vcan0");
    SocketCanTransport second = open_transport("vcan1");
    RawSocket peer0("vcan0");
    RawSocket peer1("vcan1");
    const std::array<SocketCanTransport*, 2> transports{&first, &second};
    SocketCanBusSet buses(transports);
    take_all(buses, 0);
    take_all(buses, 1);
    for (std::uint8_t i = 0; i < 4; ++i) {
        peer0.write(0x20, i);
        peer1.write(0x30, i);
    }
    std::vector<std::size_t> order;
    for (int wake = 0; wake < 4; ++wake) {
        std::array<BusFrame, 1> out{};
        const auto woken = buses.wait(Duration::from_millis(2000), out);
        ASSERT_TRUE(woken.has_value());
        ASSERT_EQ(*woken, 1U);
        order.push_back(out[0].bus);
    }
    EXPECT_TRUE(order == (std::vector<std::size_t>{0, 1, 0, 1}) ||
                order == (std::vector<std::size_t>{1, 0, 1, 0}));
}

TEST(BusSet, FramesReadBeforeAnotherBusFailsAreHandedOverAndTheFailureComesNext) {
    // With no frame read first, the failure comes at once.
    for (const std::size_t frames : {2U, 1U, 0U}) {
        SocketCanTransport first = open_transport("vcan0");
        SocketCanTransport second = open_transport("vcan1");
        RawSocket peer0("vcan0");
        const std::array<SocketCanTransport*, 2> transports{&first, &second};
        SocketCanBusSet buses(transports);
        take_all(buses, 0);
        take_all(buses, 1);
        for (std::size_t i = 0; i < frames; ++i) {
            peer0.write(static_cast<canid_t>(0x12 + i), static_cast<std::uint8_t>(2 + i));
        }
        shell("ip link set vcan1 down");
        std::array<BusFrame, 8> out{};
        const auto woken = buses.wait(Duration::from_millis(2000), out);
        shell("ip link set vcan1 up");
        if (frames > 0) {
            ASSERT_TRUE(woken.has_value()) << frames;
            EXPECT_EQ(*woken, frames);
        }
        const auto next = frames > 0 ? buses.wait(Duration::from_millis(100), out) : woken;
        ASSERT_FALSE(next.has_value()) << frames;
        EXPECT_EQ(next.error(), TransportError::backend(ENETDOWN)) << frames;
    }
}

TEST(BusSet, AFullTransmitQueueIsWaitedOutUntilTheDeadline) {
    // A queue that takes ten 16-byte frames and lets 500 a second leave: a
    // slow adapter with a transmit queue of 10, slow enough that even an
    // emulated machine's sends outrun it.
    shell("tc qdisc replace dev vcan0 root tbf rate 64kbit burst 100 limit 160");
    SocketCanTransport first = open_transport("vcan0");
    RawSocket peer0("vcan0");
    const std::array<SocketCanTransport*, 1> transports{&first};
    SocketCanBusSet buses(transports);
    std::vector<CanFrame> batch;
    for (std::uint16_t id = 1; id <= 60; ++id) {
        batch.push_back(CanFrame{CanId::standard(id), Payload{1, 2, 3, 4, 5, 6, 7, 8}});
    }
    const BatchSent all = buses.send(0, batch, in_ms(5000));
    EXPECT_EQ(all.sent, 60U);
    EXPECT_FALSE(all.error.has_value());
    const BatchSent late = buses.send(0, batch, MonotonicTime::now());
    std::vector<canid_t> expected(60);
    std::iota(expected.begin(), expected.end(), 1U);
    expected.resize(60 + late.sent);
    std::iota(expected.begin() + 60, expected.end(), 1U);
    // The queue lets them out at its own pace.
    std::vector<canid_t> seen;
    for (const auto given_up = Clock::now() + std::chrono::seconds(10);
         seen.size() < expected.size() && Clock::now() < given_up;) {
        const std::vector<canid_t> more = peer0.waiting_ids();
        seen.insert(seen.end(), more.begin(), more.end());
        ::usleep(10'000);
    }
    shell("tc qdisc del dev vcan0 root");
    EXPECT_LT(late.sent, 60U);
    EXPECT_EQ(late.error, TransportError::backend(ENOBUFS));
    EXPECT_EQ(seen, expected);
}

TEST(BusSet, AFullSocketBufferIsWaitedOutUntilItsFramesLeave) {
    // The queue takes everything but lets 500 frames a second leave, and the
    // socket's own buffer holds only a few: the send waits until the socket
    // says it has room, not to its deadline.
    shell("tc qdisc replace dev vcan0 root tbf rate 64kbit burst 100 limit 100000");
    SocketCanTransport first = open_transport("vcan0");
    const int smallest = 1;
    ASSERT_EQ(::setsockopt(first.descriptor(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    RawSocket peer0("vcan0");
    const std::array<SocketCanTransport*, 1> transports{&first};
    SocketCanBusSet buses(transports);
    std::vector<CanFrame> batch;
    for (std::uint16_t id = 1; id <= 30; ++id) {
        batch.push_back(CanFrame{CanId::standard(id), Payload{1, 2, 3, 4, 5, 6, 7, 8}});
    }
    const BatchSent all = buses.send(0, batch, in_ms(20000));
    shell("tc qdisc del dev vcan0 root");
    EXPECT_EQ(all.sent, 30U);
    EXPECT_FALSE(all.error.has_value());
}

}  // namespace
}  // namespace axiolink::transport
