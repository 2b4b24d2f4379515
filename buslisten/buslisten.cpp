// SPDX-License-Identifier: MIT
// buslisten: configures can0 for CAN FD timing and prints every classic
// frame that arrives on it, until the process is stopped from outside.
#include "can_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
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
constexpr const char read_failed[] = "read failed";
constexpr const char write_failed[] = "write failed";

void print_banner(const can_frame & /*frame*/)
{
    std::puts(banner);
}

void print_block(const can_frame &frame)
{
    std::puts((frame.can_id & CAN_EFF_FLAG) != 0 ? extended_frame : standard_frame);
    std::printf(id_and_dlc_lines, frame.can_id & CAN_EFF_MASK, frame.can_dlc);
    print_can_data(frame);
}

// Waits until standard output can take more.
void wait_until_writable()
{
    pollfd output = {STDOUT_FILENO, POLLOUT, 0};
    while (poll(&output, 1, -1) < 0 && errno == EINTR) {
    }
}

// Prints with print and writes it out at once: the process only ever ends
// from outside, and a pipe or file would lose what stayed in the buffer.
// A standard output that cannot take more just now (left non-blocking by
// whoever shares it, and full) is waited for, and the text printed again,
// since the C library drops what a failed write did not take. False, with
// errno set, when standard output has failed for good: a full disk, a
// pipe without a reader.
bool print_now(void (*print)(const can_frame &), const can_frame &frame)
{
    for (;;) {
        print(frame);
        if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
            return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        std::clearerr(stdout);
        wait_until_writable();
    }
}

}  // namespace

int main()
{
    // Each block goes out whole in one write, at a terminal as into a pipe
    // or file; a pipe then takes it whole or not at all.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);

    bring_up_can(port);
    // An output that takes no banner would take no frame either.
    if (!print_now(print_banner, frame)) {
        std::perror(write_failed);
        return 1;
    }

    int descriptor = open_can(port);
    if (descriptor < 0)
        return 1;

    for (;;) {
        ssize_t count = read(descriptor, &frame, sizeof frame);
        // can0 is gone (its controller removed, its driver unloaded): the
        // kernel unbinds the socket, which then never reads a frame again,
        // even when a new can0 appears. Say so rather than listen deaf.
        if (count < 0 && errno == ENODEV) {
            std::perror(read_failed);
            return 1;
        }
        // Any other failed read (can0 taken down, for one), or one short
        // of a whole record, is no frame.
        if (count != static_cast<ssize_t>(sizeof frame))
            continue;

        if (!print_now(print_block, frame)) {
            std::perror(write_failed);
            return 1;
        }
    }
}
