/* A CAN bus without a kernel, preloaded (LD_PRELOAD) into a requester to
 * measure what a command costs beyond its system calls, on any host, and to
 * run the command path where no CAN bus can be had (the sanitizer leg).
 *
 * A PF_CAN socket becomes a descriptor of /dev/null marked as fake; on it
 * bind and setsockopt succeed, every send is taken whole, poll reports it
 * ready (poll, select), ioctl succeeds, and every read returns at once the
 * same classic frame: the benchmark's feedback at the master id 0x011 (with
 * a zero receive time stamp where recvmsg asks for one).
 *
 * Group cycles send in batches (sendmmsg) and read what waits in batches
 * (recvmmsg) after ppoll. There each socket keeps the answers to the frames
 * sent on it, and every command to motor N (the id's low byte: mode offsets
 * aside) is answered once, at N + 0x10, with the same feedback but the
 * motor's nibble and status in the first byte: status 0 after a disable, 1
 * otherwise. Motors 0x60-0x6F stay enabled through a disable; motors
 * 0x70-0x7F never answer. A register read at 0x7FF is answered at the motor
 * id + 0x10 with the value 1 (MIT mode, for the control-mode register). A read that finds no answer left reports EAGAIN,
 * as a drained socket does; ppoll reports the sockets with answers, and with
 * none it waits out its time-out (a signal ends that wait with EINTR, as the
 * kernel's does). A socket's answers are touched only by the thread that
 * holds its bus, as on a real bus. Nothing on a fake descriptor enters the
 * kernel, so a requester's time per exchange is its own work. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <linux/can.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxDescriptors = 4096, kMaxAnswers = 128 };
static unsigned char fake[kMaxDescriptors];

/* The answers waiting on one socket, oldest first; beyond kMaxAnswers they
 * are dropped, as a full receive buffer drops frames. */
struct Answer {
    unsigned short id;
    unsigned char first;     /* status << 4 | the motor's nibble */
    unsigned char register_; /* a register read's answer: the register; 0 for feedback */
};
struct Answers {
    unsigned count;
    struct Answer waiting[kMaxAnswers];
};
static struct Answers answers[kMaxDescriptors];

static int is_fake(int fd) { return fd >= 0 && fd < kMaxDescriptors && fake[fd]; }

enum { kDisableCode = 0xFD };

/* Motor N (the id's low byte, mode offsets aside) answers `frame` at
 * N + 0x10, unless it is one of the silent ones. */
static void queue_answer(struct Answers* queue, const struct can_frame* frame) {
    static const unsigned char special[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const unsigned motor = frame->can_id & 0xFF;
    const int silent = motor >= 0x70 && motor <= 0x7F;
    const int stays_enabled = motor >= 0x60 && motor <= 0x6F;
    const int disable = frame->data[7] == kDisableCode && frame->len == 8 &&
                        memcmp(frame->data, special, sizeof special) == 0;
    if (silent || queue->count == kMaxAnswers) {
        return;
    }
    struct Answer* next = &queue->waiting[queue->count++];
    if ((frame->can_id & CAN_SFF_MASK) == 0x7FF && frame->len == 8 && frame->data[2] == 0x33) {
        next->id = (unsigned short)(frame->data[0] + 0x10);
        next->first = frame->data[0];
        next->register_ = frame->data[3];
        return;
    }
    next->id = (unsigned short)(motor + 0x10);
    next->first = (unsigned char)((disable && !stays_enabled ? 0x00 : 0x10) | (motor & 0x0F));
    next->register_ = 0;
}

static ssize_t fill_reply(void* buffer, size_t size) {
    static const unsigned char feedback[8] = {0x11, 0x80, 0x12, 0x7F, 0xE8, 0x05, 30, 32};
    struct can_frame reply;
    memset(&reply, 0, sizeof reply);
    reply.can_id = 0x011;
    reply.len = sizeof feedback;
    memcpy(reply.data, feedback, sizeof feedback);
    const size_t length = size < sizeof reply ? size : sizeof reply;
    memcpy(buffer, &reply, length);
    return (ssize_t)length;
}

/* The C library's own definition of `name`. */
#define NEXT(name) (__extension__((__typeof__(&name))dlsym(RTLD_NEXT, #name)))

unsigned int if_nametoindex(const char* name) {
    return strncmp(name, "vcan", 4) == 0 ? 1 : NEXT(if_nametoindex)(name);
}

int socket(int domain, int type, int protocol) {
    if (domain != PF_CAN) {
        return NEXT(socket)(domain, type, protocol);
    }
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0 && fd < kMaxDescriptors) {
        fake[fd] = 1;
        answers[fd].count = 0;
    }
    return fd;
}

int close(int fd) {
    if (fd >= 0 && fd < kMaxDescriptors) {
        fake[fd] = 0;
    }
    return NEXT(close)(fd);
}

int bind(int fd, const struct sockaddr* address, socklen_t length) {
    return is_fake(fd) ? 0 : NEXT(bind)(fd, address, length);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    return is_fake(fd) ? 0 : NEXT(setsockopt)(fd, level, name, value, length);
}

ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    return is_fake(fd) ? (ssize_t)size : NEXT(send)(fd, buffer, size, flags);
}

ssize_t sendto(int fd, const void* buffer, size_t size, int flags,
               const struct sockaddr* address, socklen_t length) {
    return is_fake(fd) ? (ssize_t)size : NEXT(sendto)(fd, buffer, size, flags, address, length);
}

ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    return is_fake(fd) ? fill_reply(buffer, size) : NEXT(recv)(fd, buffer, size, flags);
}

ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, struct sockaddr* address,
                 socklen_t* length) {
    if (!is_fake(fd)) {
        return NEXT(recvfrom)(fd, buffer, size, flags, address, length);
    }
    if (length != NULL) {
        *length = 0;
    }
    return fill_reply(buffer, size);
}

/* The C library declares the arrays of poll and ppoll write-only, which they
 * are not. */
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

int sendmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    if (!is_fake(fd)) {
        return NEXT(sendmmsg)(fd, messages, count, flags);
    }
    for (unsigned int i = 0; i < count; ++i) {
        queue_answer(&answers[fd], messages[i].msg_hdr.msg_iov[0].iov_base);
        messages[i].msg_len = (unsigned int)messages[i].msg_hdr.msg_iov[0].iov_len;
    }
    return (int)count;
}

int recvmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags,
             struct timespec* timeout) {
    if (!is_fake(fd)) {
        return NEXT(recvmmsg)(fd, messages, count, flags, timeout);
    }
    struct Answers* queue = &answers[fd];
    unsigned int taken = 0;
    for (; taken < count && taken < queue->count; ++taken) {
        struct can_frame* frame = messages[taken].msg_hdr.msg_iov[0].iov_base;
        fill_reply(frame, sizeof *frame);
        frame->can_id = queue->waiting[taken].id;
        frame->data[0] = queue->waiting[taken].first;
        if (queue->waiting[taken].register_ != 0) {
            const unsigned char value[7] = {0, 0x33, queue->waiting[taken].register_, 1, 0, 0, 0};
            memcpy(frame->data + 1, value, sizeof value);
        }
        messages[taken].msg_len = sizeof *frame;
    }
    memmove(queue->waiting, queue->waiting + taken,
            (queue->count - taken) * sizeof queue->waiting[0]);
    queue->count -= taken;
    if (taken == 0) {
        errno = EAGAIN;
        return -1;
    }
    return (int)taken;
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout,
          const sigset_t* mask) {
    if (count == 0 || !is_fake(fds[0].fd)) {
        return NEXT(ppoll)(fds, count, timeout, mask);
    }
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        const int readable = is_fake(fds[i].fd) && answers[fds[i].fd].count > 0;
        fds[i].revents = (short)(fds[i].events & ((readable ? POLLIN : 0) | POLLOUT));
        ready += fds[i].revents != 0;
    }
    if (ready > 0) {
        return ready;
    }
    /* Nothing to read: the time-out passes as on a quiet bus. */
    return NEXT(ppoll)(NULL, 0, timeout, mask);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (count == 1 && is_fake(fds->fd)) {
        fds->revents = (short)(fds->events & (POLLIN | POLLOUT));
        return 1;
    }
    return NEXT(poll)(fds, count, timeout);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return is_fake(fd) ? 0 : NEXT(ioctl)(fd, request, argument);
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    if (!is_fake(fd)) {
        return NEXT(recvmsg)(fd, message, flags);
    }
    const ssize_t length = fill_reply(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len);
    message->msg_namelen = 0;
    message->msg_flags = 0;
    const struct timespec stamp = {0, 0};
    if (message->msg_controllen >= CMSG_SPACE(sizeof stamp)) {
        struct cmsghdr* header = CMSG_FIRSTHDR(message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SO_TIMESTAMPNS;
        header->cmsg_len = CMSG_LEN(sizeof stamp);
        memcpy(CMSG_DATA(header), &stamp, sizeof stamp);
        message->msg_controllen = CMSG_SPACE(sizeof stamp);
    } else {
        message->msg_controllen = 0;
    }
    return length;
}

/* Ready at once when every descriptor asked about is a fake one. */
int select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
           struct timeval* timeout) {
    int ready = 0;
    for (int fd = 0; fd < count; ++fd) {
        const int asked = (readable != NULL && FD_ISSET(fd, readable)) ||
                          (writable != NULL && FD_ISSET(fd, writable)) ||
                          (failed != NULL && FD_ISSET(fd, failed));
        if (asked && !is_fake(fd)) {
            return NEXT(select)(count, readable, writable, failed, timeout);
        }
        ready += asked;
    }
    if (ready == 0) {
        return NEXT(select)(count, readable, writable, failed, timeout);
    }
    if (failed != NULL) {
        FD_ZERO(failed);
    }
    return ready;
}
