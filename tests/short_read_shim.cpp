// SPDX-License-Identifier: MIT
// Preloaded into buslisten by a test: every other read of a whole frame
// record returns only its first half, as a short read would. The kernel's
// classic raw CAN socket never does that by itself.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstring>

#include <linux/can.h>

namespace {

using recvmsg_function = ssize_t (*)(int, msghdr *, int);
int frame_reads = 0;

}  // namespace

extern "C" ssize_t recvmsg(int descriptor, msghdr *message, int flags)
{
    static auto real_recvmsg = reinterpret_cast<recvmsg_function>(dlsym(RTLD_NEXT, "recvmsg"));
    if (message->msg_iovlen != 1 || message->msg_iov[0].iov_len != sizeof(can_frame))
        return real_recvmsg(descriptor, message, flags);

    // The record is read aside, and only what the read is said to have
    // filled reaches the caller's.
    iovec *record = message->msg_iov;
    can_frame frame{};
    iovec aside = {&frame, sizeof frame};
    message->msg_iov = &aside;
    ssize_t count = real_recvmsg(descriptor, message, flags);
    message->msg_iov = record;
    if (count == static_cast<ssize_t>(sizeof frame) && frame_reads++ % 2 == 0)
        count = sizeof frame / 2;
    if (count > 0)
        std::memcpy(record->iov_base, &frame, static_cast<size_t>(count));
    return count;
}
