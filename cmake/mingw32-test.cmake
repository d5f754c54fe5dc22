# The shipped 32-bit architecture built for the tests: the i686 compilers of
# the posix thread model (GoogleTest needs std::mutex), run under 32-bit Wine.
include(${CMAKE_CURRENT_LIST_DIR}/mingw32.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
