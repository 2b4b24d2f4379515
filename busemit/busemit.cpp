// busemit: configures can1 for CAN FD timing, shows one fixed classic
// frame, sends it once on can1 and takes can1 down again.
#include "can_port.h"

#include <cstdio>
#include <cstring>

#include <linux/can/raw.h>
#include <sys/socket.h>
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

    // The socket only sends: an empty filter list delivers no frames to it.
    // cppcheck-suppress nullPointer
    static_cast<void>(setsockopt(descriptor, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0));

    frame.can_id = frame_id;
    frame.can_dlc = sizeof frame_data;
    std::memcpy(frame.data, frame_data, sizeof frame_data);

    std::printf(id_line, frame.can_id);
    std::printf(dlc_line, frame.can_dlc);
    print_can_data(frame);

    // A frame that did not go out is a failure for whoever called us.
    int status = 0;
    if (write(descriptor, &frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
        std::puts(send_incomplete);
        bring_down_can(port);
        status = 1;
    }

    close(descriptor);
    bring_down_can(port);
    return status;
}
