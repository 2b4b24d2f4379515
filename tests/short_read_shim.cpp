// SPDX-License-Identifier: MIT
// Preloaded into buslisten by a test: every other read of a whole frame
// record returns only its first half, as a short read would. The kernel's
// classic raw CAN socket never does that by itself.
#include <dlfcn.h>
#include <sys/types.h>

#include <cstring>

#include <linux/can.h>

namespace {

using read_function = ssize_t (*)(int, void *, size_t);
int frame_reads = 0;

}  // namespace

extern "C" ssize_t read(int descriptor, void *buffer, size_t size)
{
    static auto real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    if (size != sizeof(can_frame))
        return real_read(descriptor, buffer, size);

    can_frame frame{};
    ssize_t count = real_read(descriptor, &frame, sizeof frame);
    if (count != static_cast<ssize_t>(sizeof frame) || frame_reads++ % 2 == 1) {
        if (count > 0)
            std::memcpy(buffer, &frame, static_cast<size_t>(count));
        return count;
    }
    constexpr size_t half = sizeof frame / 2;
    std::memcpy(buffer, &frame, half);
    return static_cast<ssize_t>(half);
}
