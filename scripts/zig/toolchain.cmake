# The release build's toolchain: Zig's `zig c++` (the PyPI package ziglang),
# which compiles against the headers and links against the symbol versions of
# an old glibc, and links its own libc++, libc++abi and libunwind into each
# module statically. A module built with it needs nothing from the machine it
# runs on but the C library (and libm, libpthread, libdl, which old glibc
# versions keep apart) of that version or later: no libstdc++, no libgcc_s.
#
# CMake wants a compiler, an archiver and an indexer that are single
# executables, hence the three scripts beside this file; they read the zig
# executable and the target from TARNWICK_ZIG and TARNWICK_ZIG_TARGET, which
# scripts/dist.sh sets.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/ranlib" CACHE FILEPATH "zig ranlib")
