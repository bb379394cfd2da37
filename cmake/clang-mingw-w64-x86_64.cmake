# Cross toolchain: 64-bit Windows with clang and lld, on the same MinGW-w64
# headers, import libraries and C++ runtime as the GCC build. clang brings no
# C++ library of its own here, so it uses GCC's posix-thread libstdc++ (the
# win32 flavour lacks std::mutex and std::thread) and links GCC's runtime
# libraries from that folder.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})

execute_process(COMMAND ${TOOLCHAIN_PREFIX}-g++-posix -print-file-name=libstdc++.a
                OUTPUT_VARIABLE tvr_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(TVR_GCC_LIB_DIR "${tvr_libstdcxx}" DIRECTORY)
if(NOT EXISTS "${TVR_GCC_LIB_DIR}/include/c++")
  message(FATAL_ERROR "MinGW-w64 GCC's posix libstdc++ not found (${TVR_GCC_LIB_DIR})")
endif()
set(tvr_cxx_include "${TVR_GCC_LIB_DIR}/include/c++")

# GCC's libstdc++ keeps its thread-local variables (std::call_once's among
# them) in emulated TLS; clang must use the same to link against it.
set(CMAKE_C_FLAGS_INIT "--sysroot=${TVR_MINGW_SYSROOT} -femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${TVR_MINGW_SYSROOT} -femulated-tls")
# clang finds no C++ headers in the MinGW-w64 sysroot by itself, so these are
# the only ones it sees.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${tvr_cxx_include} ${tvr_cxx_include}/${TOOLCHAIN_PREFIX} ${tvr_cxx_include}/backward)
# GCC's driver adds winpthread, which libstdc++ needs, by itself; clang's does
# not. lld resolves archives in any order, so it can come first.
set(tvr_link_init "-fuse-ld=lld -L${TVR_GCC_LIB_DIR} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${tvr_link_init}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${tvr_link_init}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${tvr_link_init}")
