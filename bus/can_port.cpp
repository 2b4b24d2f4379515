// SPDX-License-Identifier: MIT
#include "can_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A set-up command is its text before and after the interface name.
struct command_text {
    const char *before_name;
    const char *after_name;
};

constexpr command_text down_command = {"sudo ifconfig ", " down"};
constexpr command_text timing_command = {"sudo ip link set ",
                                         " up type can bitrate 500000 dbitrate 2000000 fd on"};
constexpr command_text up_command = {"sudo ifconfig ", " up"};
constexpr const char data_line[] = "data[%d] = %d\r\n";

// Long enough for the longest command with a name of IFNAMSIZ - 1 characters.
constexpr int command_size = 128;

// Runs one command for the interface through the command interpreter
// and waits for it. Standard output is flushed first so that our own
// lines and the command's output reach a pipe or file in the order in
// which they happened.
void run_command(const command_text &text, const char *ifname)
{
    char command[command_size];
    int length =
        std::snprintf(command, sizeof command, "%s%s%s", text.before_name, ifname, text.after_name);
    if (length < 0 || length >= command_size)
        return;  // never run a cut-off command
    std::fflush(stdout);
    static_cast<void>(std::system(command));
}

}  // namespace

void bring_down_can(const can_port &port)
{
    run_command(down_command, port.ifname);
}

void bring_up_can(const can_port &port)
{
    bring_down_can(port);
    run_command(timing_command, port.ifname);
    run_command(up_command, port.ifname);
}

// On a failure the descriptor stays open: the caller ends the process at
// once and the system closes it.
int open_can(const can_port &port)
{
    int descriptor = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (descriptor < 0) {
        std::perror(port.socket_failed);
        return -1;
    }

    ifreq request{};
    std::strncpy(request.ifr_name, port.ifname, IFNAMSIZ - 1);
    if (ioctl(descriptor, SIOCGIFINDEX, &request) < 0) {
        std::perror(port.index_failed);
        // cppcheck-suppress resourceLeak
        return -1;
    }

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        std::perror(port.bind_failed);
        // cppcheck-suppress resourceLeak
        return -1;
    }
    return descriptor;
}

void print_can_data(const can_frame &frame)
{
    for (int i = 0; i < CAN_MAX_DLEN; i++)
        std::printf(data_line, i, static_cast<int>(frame.data[i]));
}
