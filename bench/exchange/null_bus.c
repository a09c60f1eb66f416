/* A CAN bus without a kernel, preloaded (LD_PRELOAD) into a requester to
 * measure what a command costs beyond its system calls, on any host.
 *
 * A PF_CAN socket becomes a descriptor of /dev/null marked as fake; on it
 * bind and setsockopt succeed, every send is taken whole, poll reports it
 * ready (poll, select), ioctl succeeds, and every read returns at once the
 * same classic frame: the benchmark's feedback at the master id 0x011 (with
 * a zero receive time stamp where recvmsg asks for one). Group cycles send in
 * batches (sendmmsg) and read in batches (recvmmsg, after ppoll): there every
 * command at id ID is answered once, at ID + 0x10 with the motor's nibble in
 * the first byte, and a read that finds no answer left reports EAGAIN, as a
 * drained socket does. Nothing on a fake descriptor enters the kernel, so a
 * requester's time per exchange is its own work. */

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

enum { kMaxDescriptors = 4096, kMaxAnswers = 256 };
static unsigned char fake[kMaxDescriptors];
/* The ids of the batch-sent commands not answered yet (one fake bus at a time). */
static canid_t answers[kMaxAnswers];
static unsigned answer_count;

static int is_fake(int fd) { return fd >= 0 && fd < kMaxDescriptors && fake[fd]; }

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
        const struct can_frame* frame = messages[i].msg_hdr.msg_iov[0].iov_base;
        if (answer_count < kMaxAnswers) {
            answers[answer_count++] = frame->can_id & CAN_SFF_MASK;
        }
        messages[i].msg_len = (unsigned int)messages[i].msg_hdr.msg_iov[0].iov_len;
    }
    return (int)count;
}

int recvmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags,
             struct timespec* timeout) {
    if (!is_fake(fd)) {
        return NEXT(recvmmsg)(fd, messages, count, flags, timeout);
    }
    unsigned int taken = 0;
    for (; taken < count && taken < answer_count; ++taken) {
        struct can_frame* frame = messages[taken].msg_hdr.msg_iov[0].iov_base;
        fill_reply(frame, sizeof *frame);
        frame->can_id = answers[taken] + 0x10;
        frame->data[0] = (unsigned char)(0x10 | (answers[taken] & 0x0F));
        messages[taken].msg_len = sizeof *frame;
    }
    memmove(answers, answers + taken, (answer_count - taken) * sizeof answers[0]);
    answer_count -= taken;
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
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = answer_count > 0 ? (short)(fds[i].events & POLLIN) : 0;
    }
    return answer_count > 0 ? 1 : 0;
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
