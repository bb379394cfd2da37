# Cross toolchain: 64-bit Windows with MinGW-w64's GCC, posix thread model
# (the win32 model lacks std::mutex and std::thread).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
