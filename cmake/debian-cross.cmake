# SPDX-License-Identifier: MIT
# Cross build with Debian's cross compilers for the GNU triplet
# cross_triplet and the processor CMAKE_SYSTEM_PROCESSOR, which the
# architecture's toolchain file sets before it includes this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${cross_triplet})
# Libraries and headers come from the target's own tree.
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
