// SPDX-License-Identifier: MIT
// buslisten: configures can0 for CAN FD timing and prints every classic
// frame that arrives on it, until the process is stopped from outside.
#include "can_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

    // The process only ever ends from outside: whatever is printed must
    // leave the buffer at once, or a pipe or file would lose it.
    std::fflush(stdout);
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

        std::puts((frame.can_id & CAN_EFF_FLAG) != 0 ? extended_frame : standard_frame);
        std::printf(id_and_dlc_lines, frame.can_id & CAN_EFF_MASK, frame.can_dlc);
        print_can_data(frame);
        std::fflush(stdout);
    }
}
