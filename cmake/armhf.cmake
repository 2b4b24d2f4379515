# SPDX-License-Identifier: MIT
# Cross build for Debian's armhf (g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
