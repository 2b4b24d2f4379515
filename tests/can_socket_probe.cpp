// SPDX-License-Identifier: MIT
// Prints "none" when this kernel cannot create a raw CAN socket,
// "can" when it can; exits 0 either way.
#include <cstdio>

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

int main()
{
    int descriptor = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (descriptor < 0) {
        std::puts("none");
        return 0;
    }
    close(descriptor);
    std::puts("can");
    return 0;
}
