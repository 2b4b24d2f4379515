// SPDX-License-Identifier: MIT
// Shared set-up and printing code of the two CAN bus tools.
#pragma once

#include <linux/can.h>

// One program's fixed description of the bus interface it uses,
// with the texts it reports when the socket set-up fails.
struct can_port {
    const char *ifname;         // at most 15 characters (IFNAMSIZ - 1)
    const char *socket_failed;  // the socket cannot be created
    const char *index_failed;   // the interface index lookup fails
    const char *bind_failed;    // the bind fails
};

// Runs "sudo ifconfig <ifname> down"; its exit status is ignored.
void bring_down_can(const can_port &port);

// Takes the interface down, sets 500 kbit/s nominal and 2 Mbit/s data
// bit rate with CAN FD on and brings it up, then brings it up again.
void bring_up_can(const can_port &port);

// Opens a raw CAN socket bound to the port's interface and returns its
// descriptor, or a negative value after reporting the failure on
// standard error.
int open_can(const can_port &port);

// Prints all eight data bytes of the frame, whatever its length code.
void print_can_data(const can_frame &frame);
