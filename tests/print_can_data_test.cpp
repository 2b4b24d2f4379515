// SPDX-License-Identifier: MIT
#include "can_port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string printed_data(const can_frame &frame)
{
    testing::internal::CaptureStdout();
    print_can_data(frame);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

can_frame frame_with(__u8 dlc, std::initializer_list<__u8> bytes)
{
    can_frame frame{};
    frame.can_dlc = dlc;
    int i = 0;
    for (__u8 byte : bytes)
        frame.data[i++] = byte;
    return frame;
}

TEST(print_can_data, prints_all_eight_bytes_whatever_the_length_code)
{
    const std::string expected = "data[0] = 1\r\ndata[1] = 2\r\ndata[2] = 3\r\ndata[3] = 4\r\n"
                                 "data[4] = 5\r\ndata[5] = 6\r\ndata[6] = 7\r\ndata[7] = 8\r\n";
    for (__u8 dlc : {__u8{0}, __u8{2}, __u8{8}})
        EXPECT_EQ(printed_data(frame_with(dlc, {1, 2, 3, 4, 5, 6, 7, 8})), expected)
            << "can_dlc " << int{dlc};
}

TEST(print_can_data, prints_bytes_unsigned_in_decimal)
{
    EXPECT_EQ(printed_data(frame_with(8, {255, 128, 127, 0, 16, 10, 200, 99})),
              "data[0] = 255\r\ndata[1] = 128\r\ndata[2] = 127\r\ndata[3] = 0\r\n"
              "data[4] = 16\r\ndata[5] = 10\r\ndata[6] = 200\r\ndata[7] = 99\r\n");
}

}  // namespace
