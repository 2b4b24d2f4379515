// SPDX-License-Identifier: MIT
// busemit: configures can1 for CAN FD timing, shows one fixed classic
// frame, sends it once on can1 and takes can1 down again.
#include "can_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <linux/can/raw.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr can_port port = {
    "can1",
    "Create socket PF_CAN failed!",
    "ioctl interface index failed!",
    "bind failed!",
};

constexpr const char banner[] =
    "This is a socket canfd transmit demo program ,can1 with Bit Rate 500 kBit/s,"
    "Data Bit Rate 2MBit/s\r";
constexpr const char id_line[] = "can_id  = 0x%X\r\n";
constexpr const char dlc_line[] = "can_dlc = %d\r\n";
constexpr const char send_incomplete[] = "Send  frame incompletely!\r";

constexpr canid_t frame_id = 0x123;
constexpr unsigned char frame_data[CAN_MAX_DLEN] = {1, 2, 3, 4, 5, 6, 7, 8};

// The socket admits only standard data frames with our identifier: the
// kernel's echo of our own frame, and whatever another node sends as 0x123.
constexpr can_filter own_frame_filter = {frame_id, CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK};
constexpr int receive_own_frames = 1;

// How long to wait for the controller to report the frame sent. On an idle
// 500 kbit/s bus it takes well under a millisecond.
constexpr long confirm_timeout_ms = 1000;

long milliseconds_since(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

bool same_frame(const can_frame &a, const can_frame &b)
{
    return a.can_id == b.can_id && a.can_dlc == b.can_dlc &&
           std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

// Waits, for confirm_timeout_ms at most, until the kernel hands back the
// frame written on this socket marked MSG_CONFIRM: its controller has
// reported the transmission done (on a real bus, another node acknowledged
// it). A frame without the mark came from another node and is no
// confirmation. False when the time runs out or the socket reports an error.
bool frame_confirmed(int descriptor, const can_frame &sent)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        long left = confirm_timeout_ms - milliseconds_since(start);
        if (left <= 0)
            return false;
        pollfd waiting = {descriptor, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;

        can_frame received{};
        iovec buffer = {&received, sizeof received};
        msghdr message{};
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        if (recvmsg(descriptor, &message, 0) != static_cast<ssize_t>(sizeof received))
            return false;
        if ((message.msg_flags & MSG_CONFIRM) != 0 && same_frame(received, sent))
            return true;
    }
}

}  // namespace

int main()
{
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);

    bring_up_can(port);
    std::puts(banner);

    int descriptor = open_can(port);
    if (descriptor < 0)
        return 1;

    // The socket sends, and receives only the echo that tells the frame
    // went out.
    static_cast<void>(setsockopt(descriptor, SOL_CAN_RAW, CAN_RAW_FILTER, &own_frame_filter,
                                 sizeof own_frame_filter));
    static_cast<void>(setsockopt(descriptor, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS,
                                 &receive_own_frames, sizeof receive_own_frames));

    frame.can_id = frame_id;
    frame.can_dlc = sizeof frame_data;
    std::memcpy(frame.data, frame_data, sizeof frame_data);

    std::printf(id_line, frame.can_id);
    std::printf(dlc_line, frame.can_dlc);
    print_can_data(frame);

    // A frame that did not go out is a failure for whoever called us, and
    // a written frame has gone out only when the controller says so: taking
    // can1 down would discard one still queued.
    int status = 0;
    if (write(descriptor, &frame, sizeof frame) != static_cast<ssize_t>(sizeof frame) ||
        !frame_confirmed(descriptor, frame)) {
        std::puts(send_incomplete);
        bring_down_can(port);
        status = 1;
    }

    close(descriptor);
    bring_down_can(port);
    return status;
}
