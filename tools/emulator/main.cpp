// dm-emulator: plays Damiao motors on a SocketCAN interface.
//
// The loop makes one blocking read (recvmsg) and one write per exchange. A
// frame's arrival time is the kernel's receive stamp, carried by the same
// recvmsg, so no clock is read per frame: where system calls are dear (a
// User-Mode Linux guest, where the benchmarks run) a clock read costs as
// much as the read itself. The socket's receive time-out is set once, so
// that an idle loop still wakes a few times a second to notice a signal that
// arrived just before a read, and the end of --duration; `ppoll` is used
// only while a delayed answer waits, or, with --bitrate, while frames are on
// the modelled wire: then a motor sees a command only when the wire has
// carried it, and its answer reaches the bus when the wire and the adapter
// have carried that. The wire keeps a real wire's times from the frames'
// stamps however late the loop runs; only the handing over of answers to
// the host is late then, at the wire's pace. Each wake-up on the wire reads
// the monotonic clock once, and tries one read of a waiting frame where one
// could matter; each answer sent reads the clock once more, since the next
// may leave only a frame's time after it.

#include <fcntl.h>
#include <linux/can.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/arrival_clock.hpp"
#include "emulator/emulator.hpp"
#include "emulator/frame_line.hpp"
#include "emulator/options.hpp"
#include "emulator/wire.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using axiolink::emulator::AdapterQueue;
using axiolink::emulator::ArrivalClock;
using axiolink::emulator::Emulator;
using axiolink::emulator::frame_line;
using axiolink::emulator::Options;
using axiolink::emulator::Outbox;
using axiolink::emulator::Outgoing;
using axiolink::emulator::PendingFrames;
using axiolink::emulator::Wire;
using axiolink::emulator::WireTiming;
using axiolink::transport::CanFrame;
using axiolink::transport::MonotonicTime;
using axiolink::transport::SocketCanTransport;

constexpr std::string_view kProgram = "dm-emulator";
constexpr std::size_t kPendingCapacity = 4096;
constexpr suseconds_t kIdleWakeMicros = 100'000;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kReportedSendFailures = 10;
// 100 us apart, for up to 100 ms.
constexpr long kFullQueuePauseNanos = 100'000;
constexpr std::size_t kFullQueueRetries = 1000;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// The two clocks drift apart only when the wall clock is set or slewed, so
// the offset between them is measured again this often, not at every
// wake-up; a stamp that maps earlier than the one before measures at once.
constexpr std::uint64_t kCalibrationIntervalNanos = 20'000'000;
// Readings at start; each narrows what is known of the offset.
constexpr int kStartCalibrations = 8;
// How far a mapped receive stamp may stray from the monotonic reading it
// is compared with: the clocks' offset is measured to some microseconds.
constexpr std::uint64_t kStampMarginNanos = 50'000;

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) {
    g_stop_requested = 1;
}

void write_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void complain(std::string_view message) {
    write_stderr(std::string(kProgram) + ": " + std::string(message) + "\n");
}

// Without SA_RESTART, so that a signal interrupts the blocking read at once.
bool install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Creates the ready file in one step (written aside, then renamed), so a
// waiting test never sees it half-written; removes it again when destroyed.
class ReadyFile {
public:
    ReadyFile() = default;
    ReadyFile(const ReadyFile&) = delete;
    ReadyFile& operator=(const ReadyFile&) = delete;
    ~ReadyFile() {
        if (path_) {
            ::unlink(path_->c_str());
        }
    }

    // Zero, or the error number of the step that failed.
    int create(const std::string& path) {
        const std::string temporary = path + ".tmp." + std::to_string(::getpid());
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return errno;
        }
        const std::string content = std::to_string(::getpid()) + "\n";
        int error = 0;
        if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            error = errno != 0 ? errno : EIO;
        }
        if (::close(fd) != 0 && error == 0) {
            error = errno;
        }
        if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
            error = errno;
        }
        if (error != 0) {
            ::unlink(temporary.c_str());
            return error;
        }
        path_ = path;
        return 0;
    }

private:
    std::optional<std::string> path_;
};

std::int64_t wall_clock_nanos() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

// One received frame as the kernel delivered it, with its receive stamp.
struct Reception {
    canfd_frame buffer{};
    std::size_t size = 0;
    std::optional<std::int64_t> wall_nanos;
};

// One recvmsg: the frame and, in its control data, the kernel's stamp.
ssize_t receive(int descriptor, Reception& reception, int flags = 0) {
    iovec data{&reception.buffer, sizeof reception.buffer};
    alignas(cmsghdr) std::array<std::byte, CMSG_SPACE(sizeof(timespec))> control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t count = ::recvmsg(descriptor, &message, flags);
    reception.size = count > 0 ? static_cast<std::size_t>(count) : 0;
    reception.wall_nanos.reset();
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS &&
            header->cmsg_len == CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            reception.wall_nanos =
                static_cast<std::int64_t>(stamp.tv_sec) * kNanosPerSecond + stamp.tv_nsec;
        }
    }
    return count;
}

class EmulatorLoop {
public:
    EmulatorLoop(const Options& options, SocketCanTransport& bus)
        : options_(options),
          bus_(bus),
          emulator_(options.motors, MonotonicTime::now()),
          outbox_(emulator_.outbox_capacity()),
          pending_(kPendingCapacity) {
        if (options.bitrate) {
            wire_.emplace(
                WireTiming{*options.bitrate, options.reaction_nanos, options.adapter_latency_nanos},
                kPendingCapacity);
            to_host_.emplace(wire_->timing(), kPendingCapacity);
        }
        MonotonicTime start = calibrate();
        for (int i = 1; i < kStartCalibrations; ++i) {
            start = calibrate();
        }
        arrival_clock_.refine();
        if (options.duration_nanos) {
            end_ = MonotonicTime{start.nanos + *options.duration_nanos};
        }
    }

    int run() {
        Reception reception;
        while (g_stop_requested == 0) {
            if (has_timed_work() && !wait_for_frame_or_due_answer()) {
                continue;
            }
            if (!has_timed_work()) {
                // Nothing waits on the wire: the frames read from now on
                // contend with none read before, so a better clock offset
                // can no longer change their order.
                arrival_clock_.refine();
            }
            if (receive(bus_.descriptor(), reception) < 0) {
                const int error = errno;
                if (error == ENETDOWN) {
                    on_link_down();
                } else if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
                    complain("cannot read from " + options_.iface + ": " +
                             axiolink::transport::system_error_text(error));
                    return kExitFailure;
                }
                if (ended(calibrate())) {
                    break;
                }
                continue;
            }
            if (link_down_) {
                link_down_ = false;
                complain(options_.iface + " is up again; resuming");
            }
            const MonotonicTime arrival = arrival_time(reception);
            if (ended(arrival)) {
                break;
            }
            on_reception(reception, arrival);
        }
        report_losses();
        return 0;
    }

private:
    bool ended(MonotonicTime now) const { return end_ && now >= *end_; }

    bool has_timed_work() const {
        return !pending_.empty() || (wire_ && (wire_->next_end() || !to_host_->empty()));
    }

    // The next time something is due: an answer to send, or on the wire the
    // earliest an answer still on it could be due at the host. The wire
    // keeps its own times, so what ends on it before then is carried out at
    // that wake-up, not at a wake-up of its own.
    std::optional<MonotonicTime> next_due() const {
        std::optional<MonotonicTime> next;
        if (!pending_.empty()) {
            next = pending_.front().due;
        }
        if (wire_) {
            std::optional<MonotonicTime> answer_end = wire_->next_motor_end();
            if (answer_end) {
                answer_end->nanos += wire_->timing().adapter_latency_nanos;
            }
            for (const auto due : {answer_end, to_host_->next_due()}) {
                if (due && (!next || *due < *next)) {
                    next = due;
                }
            }
        }
        return next;
    }

    // Carries the wire up to `now`: a command that has left it reaches the
    // motors, an answer that has left it reaches the host one adapter
    // latency later.
    void run_wire(MonotonicTime now) {
        if (!wire_) {
            return;
        }
        wire_->advance(now, [this](const Wire::Transmitted& carried) {
            if (carried.origin == Wire::Origin::Host) {
                outbox_.clear();
                emulator_.on_frame(carried.frame, carried.end, outbox_);
                dispatch_answers(carried.end);
            } else if (!to_host_->push(carried.frame, carried.end)) {
                ++pending_overflows_;
            }
        });
    }

    // The outbox's answers: onto the wire, sent now, or kept until due.
    void dispatch_answers(MonotonicTime now) {
        for (const Outgoing& outgoing : outbox_.frames()) {
            if (wire_) {
                if (!wire_->offer_from_motor(outgoing.frame, outgoing.due)) {
                    ++pending_overflows_;
                }
            } else if (outgoing.due <= now) {
                send(outgoing.frame);
            } else if (!pending_.push(outgoing)) {
                ++pending_overflows_;
            }
        }
    }

    // The kernel reports an interface going down once, on the next read;
    // the socket stays bound to it and simply receives nothing until it is
    // up again. Benches restart interfaces, so the motors wait it out.
    void on_link_down() {
        if (!link_down_) {
            link_down_ = true;
            complain(options_.iface + " went down; waiting for it to come back");
        }
    }

    MonotonicTime calibrate() {
        const MonotonicTime before = MonotonicTime::now();
        const std::int64_t wall = wall_clock_nanos();
        const MonotonicTime now = MonotonicTime::now();
        arrival_clock_.calibrate(before, wall, now);
        calibrated_at_ = now;
        return now;
    }

    // The current time, measuring the clocks' offset again when it is due.
    MonotonicTime clock_now() {
        const MonotonicTime now = MonotonicTime::now();
        return now.nanos - calibrated_at_.nanos >= kCalibrationIntervalNanos ? calibrate() : now;
    }

    // The frame's arrival is its kernel stamp, however late the loop reads
    // it: a frame read after the wire has moved on contends as early as the
    // wire can still take it, never from the time it was read, which would
    // let an answer win the wire from a command that was there first.
    MonotonicTime arrival_time(const Reception& reception) {
        if (!reception.wall_nanos) {
            return calibrate();  // no stamp from the kernel: now is all there is
        }
        if (const auto mapped = arrival_clock_.map(*reception.wall_nanos)) {
            return *mapped;
        }
        calibrate();
        return arrival_clock_.map(*reception.wall_nanos).value_or(arrival_clock_.latest());
    }

    // Puts the frames already waiting in the socket on the wire at their
    // own arrival times, before the wire is carried up to now: a loop held
    // back (a busy machine) would otherwise let an answer take the wire
    // ahead of commands that had arrived before it was ready. One read when
    // none waits.
    void take_waiting_frames() {
        Reception reception;
        for (std::size_t taken = 0; taken < kPendingCapacity; ++taken) {
            if (receive(bus_.descriptor(), reception, MSG_DONTWAIT) < 0) {
                return;  // nothing waiting; the blocking read reports errors
            }
            on_reception(reception, arrival_time(reception));
        }
    }

    // Hands the host what is due; the time of the last clock reading. On the
    // wire, the next answer may follow one only a frame's time after it
    // really went, which the clock tells after the send: a loop held back
    // sends the overdue answers at the wire's pace, never in a burst.
    MonotonicTime send_due_answers(MonotonicTime now) {
        if (!wire_) {
            while (!pending_.empty() && pending_.front().due <= now) {
                send(pending_.front().frame);
                pending_.pop();
            }
            return now;
        }
        while (const auto due = to_host_->next_due()) {
            if (*due > now) {
                break;
            }
            send(to_host_->front());
            now = MonotonicTime::now();
            to_host_->pop(now);
        }
        return now;
    }

    // Sends what is due; true when a frame can be read without blocking past
    // the next due answer.
    bool wait_for_frame_or_due_answer() {
        MonotonicTime now = clock_now();
        if (ended(now)) {
            g_stop_requested = 1;
            return false;
        }
        // Every frame that arrived by now goes on the wire before the wire
        // is carried up to now, unless none can have been there in time to
        // contend for what the wire carries out now.
        if (wire_ && !(empty_until_ && now.nanos < empty_until_->nanos)) {
            take_waiting_frames();
        }
        empty_until_.reset();
        run_wire(now);
        now = send_due_answers(now);
        const std::optional<MonotonicTime> next = next_due();
        if (!next) {
            return true;
        }
        const std::uint64_t wait = next->nanos > now.nanos ? next->nanos - now.nanos : 0;
        const timespec timeout{static_cast<time_t>(wait / kNanosPerSecond),
                               static_cast<long>(wait % kNanosPerSecond)};
        pollfd poll_entry{bus_.descriptor(), POLLIN, 0};
        const int ready = ::ppoll(&poll_entry, 1, &timeout, nullptr);
        if (ready == 0 && wire_) {
            // Nothing to read when the wait ended, at `next` or later: a frame
            // that came since is ready for the wire an adapter latency after
            // that, and contends for a transmission that ends by now only if
            // it was ready a frame's time before now. Until then the read of
            // waiting frames, a system call that would find none, is left out.
            const std::uint64_t unseen =
                wire_->timing().adapter_latency_nanos + wire_->shortest_transmission_nanos();
            if (unseen > kStampMarginNanos) {
                empty_until_ = MonotonicTime{next->nanos + unseen - kStampMarginNanos};
            }
        }
        return ready > 0;
    }

    void on_reception(const Reception& reception, MonotonicTime arrival) {
        // Remote and error frames are no commands; the conversion would make
        // a remote frame look like a data frame.
        if (reception.size == sizeof(can_frame) &&
            (reception.buffer.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) {
            return;
        }
        const auto frame = axiolink::transport::from_kernel(reception.buffer, reception.size);
        if (!frame) {
            return;
        }
        log("rx", *frame);
        if (wire_) {
            if (!wire_->offer_from_host(*frame, arrival)) {
                ++pending_overflows_;
            }
            return;
        }
        outbox_.clear();
        emulator_.on_frame(*frame, arrival, outbox_);
        dispatch_answers(arrival);
    }

    void send(const CanFrame& frame) {
        log("tx", frame);
        // A full transmit queue (a test's rate-limited bus) is waited out, as
        // a motor's controller keeps trying until the bus takes its frame.
        for (std::size_t attempt = 0;; ++attempt) {
            const auto sent = bus_.send(frame);
            if (sent) {
                return;
            }
            if (sent.error() == axiolink::transport::TransportError::backend(ENOBUFS) &&
                attempt < kFullQueueRetries) {
                const timespec pause{0, kFullQueuePauseNanos};
                ::nanosleep(&pause, nullptr);
                continue;
            }
            if (++send_failures_ <= kReportedSendFailures) {
                complain("cannot send: " + sent.error().message());
            }
            return;
        }
    }

    void log(std::string_view direction, const CanFrame& frame) const {
        if (options_.log) {
            write_stderr(frame_line(direction, frame).view());
        }
    }

    void report_losses() const {
        if (send_failures_ > kReportedSendFailures) {
            complain(std::to_string(send_failures_) + " sends failed in all");
        }
        if (pending_overflows_ > 0) {
            complain(std::to_string(pending_overflows_) +
                     " delayed answers dropped: too many waiting");
        }
    }

    const Options& options_;
    SocketCanTransport& bus_;
    Emulator emulator_;
    Outbox outbox_;
    PendingFrames pending_;
    std::optional<Wire> wire_;
    ArrivalClock arrival_clock_;
    MonotonicTime calibrated_at_{};
    // The timed wire's answers on their way to the host.
    std::optional<AdapterQueue> to_host_;
    // Until when no frame that arrived since the last wait timed out can
    // contend on the wire.
    std::optional<MonotonicTime> empty_until_;
    std::optional<MonotonicTime> end_;
    std::size_t send_failures_ = 0;
    std::size_t pending_overflows_ = 0;
    bool link_down_ = false;
};

// Sets what the loop relies on: an idle wake-up and the receive stamps.
bool configure_socket(int descriptor) {
    const timeval idle_wake{0, kIdleWakeMicros};
    const int on = 1;
    return ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &idle_wake, sizeof idle_wake) == 0 &&
           ::setsockopt(descriptor, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

int run(const Options& options) {
    // Time-outs end when asked (the default slack is 50 us): a late wake-up
    // on the timed wire hands an answer to the host late, and the ones
    // behind it follow at the wire's pace from there.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (!install_stop_handlers()) {
        complain("cannot install signal handlers: " +
                 axiolink::transport::system_error_text(errno));
        return kExitFailure;
    }
    auto bus = SocketCanTransport::open(options.iface);
    if (!bus) {
        complain("cannot open " + options.iface + ": " + bus.error().message());
        return kExitFailure;
    }
    if (!configure_socket(bus->descriptor())) {
        complain("cannot configure the socket: " + axiolink::transport::system_error_text(errno));
        return kExitFailure;
    }
    EmulatorLoop loop(options, *bus);
    ReadyFile ready_file;
    if (options.ready_file) {
        if (const int error = ready_file.create(*options.ready_file); error != 0) {
            complain("cannot create " + *options.ready_file + ": " +
                     axiolink::transport::system_error_text(error));
            return kExitFailure;
        }
    }
    return loop.run();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--version") {
        std::fputs("dm-emulator " AXIOLINK_VERSION "\n", stdout);
        return 0;
    }
    const auto options = axiolink::emulator::parse_options(args);
    if (!options) {
        complain(options.error());
        write_stderr("Try 'dm-emulator --help' for more information.\n");
        return kExitUsage;
    }
    if (options->help) {
        const std::string usage = axiolink::emulator::usage_text();
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    return run(*options);
}
