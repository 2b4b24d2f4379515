// SPDX-License-Identifier: MIT
// buslisten: configures can0 for CAN FD timing and prints every classic
// frame that arrives on it, until the process is stopped from outside.
#include "can_port.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr can_port port = {
    "can0",
    "Create socket PF_CAN failed",
    "ioctl interface index failed!",
    "bind failed",
};

constexpr const char banner[] =
    "This is a can receive demo,can0 with BitRate 500kBit/s,Date Bit Rate 2MBit/s!\r";
constexpr const char extended_frame[] = "Received extended frame!";
constexpr const char standard_frame[] = "Received standard frame!";
constexpr const char id_and_dlc_lines[] = "can_id = 0x%X\r\ncan_dlc = %d \r\n";
constexpr const char dropped_line[] = "dropped %u frame%s: receive queue full\n";
constexpr const char count_drops_failed[] = "setsockopt SO_RXQ_OVFL failed";
constexpr const char read_failed[] = "read failed";
constexpr const char write_failed[] = "write failed";

// What buslisten knows between reads: the last frame read, and the
// kernel's count of the frames that it dropped, for want of room in the
// socket's receive queue, before that frame (the count wraps at 2^32),
// with the count as the last "dropped" line left it.
struct reception {
    can_frame frame;
    std::uint32_t drops;
    std::uint32_t reported_drops;
};

void print_banner(const reception & /*received*/)
{
    std::puts(banner);
}

void print_block(const reception &received)
{
    const can_frame &frame = received.frame;
    std::puts((frame.can_id & CAN_EFF_FLAG) != 0 ? extended_frame : standard_frame);
    std::printf(id_and_dlc_lines, frame.can_id & CAN_EFF_MASK, frame.can_dlc);
    print_can_data(frame);
}

// The frames dropped since the last such line; unsigned arithmetic keeps
// the difference right across the count's wrap.
void print_drops(const reception &received)
{
    std::uint32_t dropped = received.drops - received.reported_drops;
    std::fprintf(stderr, dropped_line, dropped, dropped == 1 ? "" : "s");
}

// Waits until the stream can take more.
void wait_until_writable(FILE *stream)
{
    pollfd output = {fileno(stream), POLLOUT, 0};
    while (poll(&output, 1, -1) < 0 && errno == EINTR) {
    }
}

// Prints with print to the stream and writes it out at once: the process
// only ever ends from outside, and a pipe or file would lose what stayed
// in the buffer. A stream that cannot take more just now (left
// non-blocking by whoever shares it, and full) is waited for, and the
// text printed again, since the C library drops what a failed write did
// not take. False, with errno set, when the stream has failed for good:
// a full disk, a pipe without a reader.
bool print_now(FILE *stream, void (*print)(const reception &), const reception &received)
{
    for (;;) {
        print(received);
        if (std::fflush(stream) == 0 && std::ferror(stream) == 0)
            return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        std::clearerr(stream);
        wait_until_writable(stream);
    }
}

// Reads one frame record into received.frame, and into received.drops the
// count of dropped frames that the kernel tells with it. Returns what
// recvmsg returns.
ssize_t read_frame(int descriptor, reception &received)
{
    iovec record = {&received.frame, sizeof received.frame};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof received.drops)];
    msghdr message{};
    message.msg_iov = &record;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t count = recvmsg(descriptor, &message, 0);
    if (count < 0)
        return count;
    // The kernel leaves the count out while it is 0.
    received.drops = 0;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL)
            std::memcpy(&received.drops, CMSG_DATA(header), sizeof received.drops);
    }
    return count;
}

}  // namespace

int main()
{
    // Each block goes out whole in one write, at a terminal as into a pipe
    // or file; a pipe then takes it whole or not at all.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    reception received;
    std::memset(&received, 0, sizeof received);

    bring_up_can(port);
    // An output that takes no banner would take no frame either.
    if (!print_now(stdout, print_banner, received)) {
        std::perror(write_failed);
        return 1;
    }

    int descriptor = open_can(port);
    if (descriptor < 0)
        return 1;
    // While buslisten waits for a slow output it does not read, and the
    // kernel drops the frames that no longer fit in the socket's receive
    // queue. With this option it tells, with each frame, how many it has
    // dropped so far; it filters nothing.
    const int count_drops = 1;
    if (setsockopt(descriptor, SOL_SOCKET, SO_RXQ_OVFL, &count_drops, sizeof count_drops) < 0) {
        std::perror(count_drops_failed);
        return 1;
    }

    for (;;) {
        ssize_t count = read_frame(descriptor, received);
        // can0 is gone (its controller removed, its driver unloaded): the
        // kernel unbinds the socket, which then never reads a frame again,
        // even when a new can0 appears. Say so rather than listen deaf.
        if (count < 0 && errno == ENODEV) {
            std::perror(read_failed);
            return 1;
        }
        // Any other failed read (can0 taken down, for one), or one short
        // of a whole record, is no frame.
        if (count != static_cast<ssize_t>(sizeof received.frame))
            continue;

        // Frames lost are said before the frame that brought the news. A
        // standard error that has failed for good leaves nowhere to say it.
        if (received.drops != received.reported_drops) {
            static_cast<void>(print_now(stderr, print_drops, received));
            received.reported_drops = received.drops;
        }
        if (!print_now(stdout, print_block, received)) {
            std::perror(write_failed);
            return 1;
        }
    }
}
