// SocketCanTransport on a real kernel CAN stack: vcan0 and vcan1 (FD capable)
// must exist and this process must be allowed to set them down and up. Every
// frame is checked against an independent peer: a raw socket written here
// with plain system calls, or can-utils.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "transport/can.hpp"
#include "transport/socketcan_backend.hpp"
#include "open_transport.hpp"

namespace axiolink::transport {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// vcan0 carries the frame tests; vcan1 stays silent and is the one set down.
constexpr const char* kBus = "vcan0";
constexpr const char* kQuietBus = "vcan1";

// A second node on the bus, built from the bare socket calls.
class Peer {
public:
    explicit Peer(const char* iface) : fd_(::socket(PF_CAN, SOCK_RAW, CAN_RAW)) {
        if (fd_ < 0) {
            fail("socket");
        }
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(::if_nametoindex(iface));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            fail("bind");
        }
        const int on = 1;
        if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) {
            fail("CAN_RAW_FD_FRAMES");
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { ::close(fd_); }

    void write_classic(canid_t id, const Bytes& data) {
        can_frame frame{};
        frame.can_id = id;
        frame.len = static_cast<std::uint8_t>(data.size());
        std::ranges::copy(data, frame.data);
        write_all(&frame, sizeof frame);
    }

    void write_fd(canid_t id, std::uint8_t flags, const Bytes& data) {
        canfd_frame frame{};
        frame.can_id = id;
        frame.len = static_cast<std::uint8_t>(data.size());
        frame.flags = flags;
        std::ranges::copy(data, frame.data);
        write_all(&frame, sizeof frame);
    }

    struct Received {
        std::size_t size;
        canfd_frame frame;
        Bytes data() const { return {frame.data, frame.data + frame.len}; }
    };
    // Nothing when no frame comes within `timeout`.
    std::optional<Received> read(std::chrono::milliseconds timeout) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            fail("SO_RCVTIMEO");
        }
        Received received{0, {}};
        const ssize_t n = ::read(fd_, &received.frame, sizeof received.frame);
        if (n < 0) {
            if (errno == EAGAIN) {
                return std::nullopt;
            }
            fail("read");
        }
        received.size = static_cast<std::size_t>(n);
        return received;
    }

private:
    void write_all(const void* frame, std::size_t size) {
        if (::write(fd_, frame, size) != static_cast<ssize_t>(size)) {
            fail("write");
        }
    }
    [[noreturn]] static void fail(const char* what) {
        throw std::system_error(errno, std::generic_category(), std::string("peer ") + what);
    }
    int fd_;
};

std::size_t open_descriptor_count() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

bool descriptor_is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

// A peer's work on its own thread; an exception there is reported back
// instead of ending the process.
template <class Work>
std::thread peer_thread(std::atomic<bool>& failed, Work work) {
    return std::thread([&failed, work = std::move(work)]() mutable {
        try {
            work();
        } catch (const std::exception& e) {
            std::cerr << "peer thread: " << e.what() << "\n";
            failed = true;
        }
    });
}

Bytes counting_bytes(std::size_t n) {
    Bytes out(n);
    std::iota(out.begin(), out.end(), std::uint8_t{0x01});
    return out;
}

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void report_timing(const char* what, Clock::duration measured, std::chrono::milliseconds limit) {
    std::cout << "[ timing   ] " << what << ": " << millis(measured) << " ms for " << limit.count()
              << " ms (ratio " << millis(measured) / static_cast<double>(limit.count()) << ")\n";
}

TEST(BusSend, ClassicFramesArriveAsSixteenByteFrames) {
    const struct {
        const char* name;
        CanFrame frame;
        canid_t can_id;
        Bytes data;
    } cases[] = {
        {"standard", {CanId::standard(0x123), {0x11, 0x22, 0x33}}, 0x123, {0x11, 0x22, 0x33}},
        {"extended, 8 bytes",
         {CanId::extended(0x1FFFFFFF), Payload(counting_bytes(8))},
         0x9FFFFFFF,
         counting_bytes(8)},
        {"empty", {CanId::standard(0x7FF), {}}, 0x7FF, {}},
        {"brs ignored", {CanId::standard(0x456), {0xAA}, false, true}, 0x456, {0xAA}},
    };
    Peer peer(kBus);
    auto transport = open_transport(kBus);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(transport.send(c.frame).has_value());
        const auto got = peer.read(1000ms);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->size, 16u);
        EXPECT_EQ(got->frame.can_id, c.can_id);
        EXPECT_EQ(got->data(), c.data);
        EXPECT_EQ(got->frame.flags, 0x00);  // the classic frame's pad byte
    }
}

TEST(BusSend, FdFramesArriveWithTheirLengthRaisedAndPadded) {
    const struct {
        const char* name;
        CanFrame frame;
        canid_t can_id;
        bool brs;
        Bytes data;
    } cases[] = {
        {"10 bytes arrive as 12",
         {CanId::standard(0x123), Payload(counting_bytes(10)), true, true},
         0x123,
         true,
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x00, 0x00}},
        {"64 bytes, extended, no brs",
         {CanId::extended(0x12345678), Payload(counting_bytes(64)), true, false},
         0x92345678,
         false,
         counting_bytes(64)},
        {"empty", {CanId::standard(0x001), {}, true, false}, 0x001, false, {}},
    };
    Peer peer(kBus);
    auto transport = open_transport(kBus);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(transport.send(c.frame).has_value());
        const auto got = peer.read(1000ms);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->size, 72u);
        EXPECT_EQ(got->frame.can_id, c.can_id);
        EXPECT_EQ(got->data(), c.data);
        EXPECT_EQ((got->frame.flags & CANFD_BRS) != 0, c.brs);
    }
}

TEST(BusSend, RefusedFramesShowTheirTextAndNeverReachTheBus) {
    const struct {
        CanFrame frame;
        const char* text;
    } cases[] = {
        {{CanId::standard(0x800), {0x01}}, "invalid CAN id"},
        {{CanId::extended(0x20000000), {0x01}, true}, "invalid CAN id"},
        {{CanId::standard(0x123), Payload(counting_bytes(9))},
         "frame too large for selected mode: 9 bytes"},
        {{CanId::standard(0x800), Payload(counting_bytes(9))}, "invalid CAN id"},
    };
    Peer peer(kBus);
    auto transport = open_transport(kBus);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto sent = transport.send(c.frame);
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().message(), c.text);
    }
    EXPECT_FALSE(peer.read(100ms).has_value());
}

TEST(BusRecv, FramesFromAPeerArriveAsSent) {
    Peer peer(kBus);
    auto transport = open_transport(kBus);

    peer.write_classic(0x123, {0x11, 0x22, 0x33});
    peer.write_classic(0x92345678, counting_bytes(8));
    peer.write_classic(0x7FF, {});
    peer.write_fd(0x321, CANFD_BRS, counting_bytes(12));
    peer.write_fd(0x9ABCDEF0, 0x00, counting_bytes(64));

    const CanFrame expected[] = {
        {CanId::standard(0x123), {0x11, 0x22, 0x33}, false, false},
        {CanId::extended(0x12345678), Payload(counting_bytes(8)), false, false},
        {CanId::standard(0x7FF), {}, false, false},
        {CanId::standard(0x321), Payload(counting_bytes(12)), true, true},
        {CanId::extended(0x1ABCDEF0), Payload(counting_bytes(64)), true, false},
    };
    for (const CanFrame& want : expected) {
        SCOPED_TRACE(want.id.value);
        const auto got = transport.recv(Duration::from_millis(1000));
        ASSERT_TRUE(got.has_value()) << got.error().message();
        EXPECT_EQ(got->id, want.id);
        EXPECT_EQ(got->data, want.data);
        EXPECT_EQ(got->fd, want.fd);
        EXPECT_EQ(got->brs, want.brs);
    }
}

TEST(BusRecv, RemoteFrameArrivesWithItsRequestedLength) {
    auto transport = open_transport(kBus);
    run("cansend vcan0 123#R4");

    const auto got = transport.recv(Duration::from_millis(1000));

    ASSERT_TRUE(got.has_value()) << got.error().message();
    EXPECT_EQ(got->id, CanId::standard(0x123));
    EXPECT_EQ(got->data.size(), 4u);
    EXPECT_FALSE(got->fd);
    EXPECT_FALSE(got->brs);
}

// The receive time-out the kernel holds for the transport's socket, as it
// reports it: the time it was asked for, rounded up to whole scheduler ticks.
std::chrono::microseconds kernel_receive_timeout(const SocketCanTransport& transport) {
    timeval told{};
    socklen_t size = sizeof told;
    if (::getsockopt(transport.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &told, &size) != 0) {
        throw std::system_error(errno, std::generic_category(), "getsockopt SO_RCVTIMEO");
    }
    return std::chrono::seconds(told.tv_sec) + std::chrono::microseconds(told.tv_usec);
}

// A read that times out waits in the kernel for the time-out it handed over;
// how late the kernel then wakes the thread is the machine's load, not the
// transport's. So the time the read took is bounded from below only, and
// what bounds it from above is checked where it is decided: the time-out the
// kernel was given (these limits are whole ticks at every tick rate).
TEST(BusRecv, SilentBusTimesOutAfterTheTimeout) {
    auto transport = open_transport(kQuietBus);
    for (const auto limit : {20ms, 100ms}) {
        const auto start = Clock::now();
        const auto got =
            transport.recv(Duration::from_millis(static_cast<std::uint64_t>(limit.count())));
        const auto took = Clock::now() - start;
        report_timing("recv on a silent bus", took, limit);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), TransportError::timeout());
        EXPECT_GE(took, limit);
        EXPECT_EQ(kernel_receive_timeout(transport).count(),
                  std::chrono::microseconds(limit).count());
    }
}

// A zero time-out handed to the kernel would mean no time-out at all: the
// read would wait for a frame that never comes on the quiet bus.
TEST(BusRecv, TimeoutsBelowAMicrosecondStillEnd) {
    auto transport = open_transport(kQuietBus);
    for (const Duration limit : {Duration{}, Duration{0, 999}}) {
        SCOPED_TRACE(limit.nanos);
        const auto got = transport.recv(limit);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), TransportError::timeout());
        const auto told = kernel_receive_timeout(transport);
        EXPECT_GT(told.count(), 0);
        EXPECT_LE(told.count(), 10'000);  // one tick at 100 Hz, the slowest tick rate
    }
}

TEST(BusRecv, InterruptedReadEndsWithoutRepeating) {
    struct sigaction on_signal {};
    on_signal.sa_handler = [](int) {};
    sigemptyset(&on_signal.sa_mask);
    on_signal.sa_flags = SA_RESTART;  // the read must end even so
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &on_signal, &previous), 0);
    auto transport = open_transport(kQuietBus);
    const pthread_t reader = ::pthread_self();
    std::thread interrupter([reader] {
        std::this_thread::sleep_for(100ms);
        ::pthread_kill(reader, SIGUSR1);
    });

    const auto start = Clock::now();
    const auto got = transport.recv(Duration::from_millis(5'000));
    const auto took = Clock::now() - start;
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::backend(EINTR));
    EXPECT_EQ(got.error().message(), "backend error: Interrupted system call (os error 4)");
    EXPECT_LT(took, 2s);

    Peer peer(kQuietBus);
    peer.write_classic(0x077, {0x77});
    const auto next = transport.recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.has_value()) << next.error().message();
    EXPECT_EQ(next->id, CanId::standard(0x077));
}

TEST(BusRequest, DiscardsOtherFramesAndReturnsTheMatch) {
    Peer peer(kBus);
    auto transport = open_transport(kBus);
    // The peer answers only once it has seen the command, like a motor.
    std::atomic<bool> peer_failed{false};
    std::thread responder = peer_thread(peer_failed, [&peer] {
        if (peer.read(2000ms)) {
            peer.write_classic(0x012, {0xEE});
            peer.write_classic(0x011 | CAN_EFF_FLAG, {0xEE});
            peer.write_fd(0x011 | CAN_EFF_FLAG, 0x00, {0xEE});
            peer.write_classic(0x011, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8});
            peer.write_classic(0x011, {0xEE});
        }
    });

    const CanFrame command{CanId::standard(0x001),
                           {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}};
    const auto reply =
        transport.request(command, CanId::standard(0x011), Duration::from_millis(2000));
    responder.join();

    ASSERT_FALSE(peer_failed);
    ASSERT_TRUE(reply.has_value()) << reply.error().message();
    EXPECT_EQ(reply->id, CanId::standard(0x011));
    EXPECT_EQ(reply->data, (Payload{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}));
    // The frame behind the match is still queued: nothing was read past it.
    const auto next = transport.recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->data, Payload{0xEE});
}

TEST(BusRequest, FloodOfOtherIdentifiersEndsWithTimeoutAtTheDeadline) {
    constexpr auto kTimeout = 100ms;
    // Far longer than the time-out: a wait that restarted with every frame
    // would end only with the flood. Whether the request ended while the
    // flood went on is a matter of order, which a loaded machine's late
    // wake-up does not change, as a bound on the time it took would.
    constexpr auto kFloodLasts = 30s;
    Peer flooder(kBus);
    auto transport = open_transport(kBus);
    std::atomic<bool> stop{false};
    std::atomic<bool> flood_over{false};
    std::atomic<int> flooded{0};
    std::atomic<bool> peer_failed{false};
    std::thread flood = peer_thread(peer_failed, [&] {
        const auto until = Clock::now() + kFloodLasts;
        while (!stop && Clock::now() < until) {
            flooder.write_classic(0x012, {0x00});
            ++flooded;
            std::this_thread::sleep_for(1ms);
        }
        flood_over = true;
    });

    const auto start = Clock::now();
    const auto reply = transport.request({CanId::standard(0x001), {0x01}}, CanId::standard(0x011),
                                         Duration::from_millis(kTimeout.count()));
    const auto took = Clock::now() - start;
    const bool ended_in_the_flood = !flood_over;
    stop = true;
    flood.join();

    report_timing("request under a flood", took, kTimeout);
    std::cout << "[ timing   ] frames flooded during the request: " << flooded << "\n";
    ASSERT_FALSE(peer_failed);
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), TransportError::timeout());
    EXPECT_GE(took, kTimeout);
    EXPECT_TRUE(ended_in_the_flood)
        << "the wait ended with the flood, after " << millis(took) << " ms";
    EXPECT_GE(flooded, 10);
}

// Brings the quiet bus back up whatever the test's outcome, so that later
// tests find it as they expect.
struct QuietBusRestorer {
    ~QuietBusRestorer() { (void)std::system("ip link set vcan1 up"); }
};

TEST(BusRequest, InterfaceGoingDownEndsTheWaitAtOnceAndTheTransportRecovers) {
    QuietBusRestorer restore;
    auto transport = open_transport(kQuietBus);
    std::atomic<bool> peer_failed{false};
    std::thread saboteur = peer_thread(peer_failed, [] {
        std::this_thread::sleep_for(200ms);
        run("ip link set vcan1 down");
    });

    const auto start = Clock::now();
    const auto reply = transport.request({CanId::standard(0x001), {0x01}}, CanId::standard(0x011),
                                         Duration::from_millis(10'000));
    const auto took = Clock::now() - start;
    saboteur.join();

    std::cout << "[ timing   ] request ended by the interface going down after " << millis(took)
              << " ms\n";
    ASSERT_FALSE(peer_failed);
    ASSERT_FALSE(reply.has_value());
    std::cout << "[ errno    ] " << reply.error().message() << "\n";
    EXPECT_EQ(reply.error(), TransportError::backend(ENETDOWN));
    EXPECT_EQ(reply.error().message(), "backend error: Network is down (os error 100)");
    EXPECT_LT(took, 5s);

    run("ip link set vcan1 up");
    Peer peer(kQuietBus);
    ASSERT_TRUE(transport.send({CanId::standard(0x055), {0x55}}).has_value());
    const auto seen = peer.read(1000ms);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->frame.can_id, 0x055u);
    peer.write_classic(0x066, {0x66});
    const auto got = transport.recv(Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().message();
    EXPECT_EQ(got->id, CanId::standard(0x066));
}

TEST(BusOpen, FailuresCarryTheSystemErrorAndLeaveNoDescriptor) {
    const struct {
        const char* name;
        std::string_view iface;
        int os_error;
        const char* text;
    } cases[] = {
        {"missing interface", "nosuchcan0", ENODEV, "backend error: No such device (os error 19)"},
        {"name too long for any interface", "a-name-longer-than-ifnamsiz", ENODEV,
         "backend error: No such device (os error 19)"},
        // vcan0 exists, so only a check before any system call can refuse it.
        {"embedded NUL", std::string_view("vcan0\0x", 7), EINVAL,
         "backend error: Invalid argument (os error 22)"},
        // lo exists, so the socket is made and then refused at bind.
        {"not a CAN interface", "lo", ENODEV, "backend error: No such device (os error 19)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = open_descriptor_count();
        const auto transport = SocketCanTransport::open(c.iface);
        EXPECT_EQ(open_descriptor_count(), before);
        ASSERT_FALSE(transport.has_value());
        EXPECT_EQ(transport.error(), TransportError::backend(c.os_error));
        EXPECT_EQ(transport.error().message(), c.text);
    }
}

TEST(BusOpen, TheTransportOwnsExactlyOneDescriptor) {
    const std::size_t before = open_descriptor_count();
    int fd = -1;
    {
        auto transport = open_transport(kBus);
        fd = transport.descriptor();
        EXPECT_EQ(open_descriptor_count(), before + 1);
        SocketCanTransport moved(std::move(transport));
        EXPECT_EQ(moved.descriptor(), fd);
        EXPECT_EQ(open_descriptor_count(), before + 1);

        auto other = open_transport(kBus);
        const int other_fd = other.descriptor();
        other = std::move(moved);  // the overwritten socket is closed
        EXPECT_FALSE(descriptor_is_open(other_fd));
        EXPECT_EQ(other.descriptor(), fd);
        EXPECT_EQ(open_descriptor_count(), before + 1);
    }
    EXPECT_FALSE(descriptor_is_open(fd));
    EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace axiolink::transport
