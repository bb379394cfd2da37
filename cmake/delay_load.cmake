# Delay-loading for the executable: the DLLs that only the worker's checks use
# are mapped on first use instead of before the entry runs, so the start path
# pays only for what it needs before RUNNING.
#
#   tvr_delay_load(<target> <dll base name>...)
#
# Call it before the target links tvr_core: the short import libraries made
# here must come first on the link line, since the linker takes each symbol
# from the first library that has it.
#
# MSVC: /DELAYLOAD with delayimp.lib. MinGW: GNU ld cannot write a PE
# delay-import directory, so the target is linked by lld instead, against
# short import libraries that llvm-dlltool makes from MinGW's own (lld ignores
# --delayload for MinGW's long-format import libraries, without a word).
# The failure hook that keeps a missing DLL or function from raising lives in
# src/app/delay_load.cpp.

function(tvr_delay_load target)
  set(dlls ${ARGN})
  if(MSVC)
    foreach(dll IN LISTS dlls)
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
    endforeach()
    target_link_libraries(${target} PRIVATE delayimp)
    return()
  endif()

  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT CMAKE_HOST_UNIX)
    # The collect2 stand-in below is a shell script.
    message(WARNING "${target}: no delay-loading with gcc on this host; every DLL is loaded at start")
    return()
  endif()
  find_program(TVR_LLD NAMES ld.lld ld.lld-14 REQUIRED)
  find_program(TVR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  find_program(TVR_MINGW_NM NAMES ${CMAKE_NM} x86_64-w64-mingw32-nm nm REQUIRED)

  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # This gcc runs its configured GNU ld whatever -fuse-ld says, but it looks
    # for collect2 in -B folders first: the one made here hands gcc's linker
    # arguments on to lld.
    set(driver_dir ${CMAKE_BINARY_DIR}/lld-driver)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/lld-collect2.in ${driver_dir}/collect2 @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                    WORLD_EXECUTE)
    target_link_options(${target} PRIVATE -B${driver_dir}/)
  else()
    target_link_options(${target} PRIVATE -fuse-ld=lld)
  endif()

  set(libs)
  foreach(dll IN LISTS dlls)
    find_library(TVR_MINGW_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    set(out ${CMAKE_BINARY_DIR}/delay-import/lib${dll}_delay.a)
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DNM=${TVR_MINGW_NM} -DDLLTOOL=${TVR_LLVM_DLLTOOL}
              -DIMPORT_LIB=${TVR_MINGW_IMPORT_LIB_${dll}} -DDLL=${dll}.dll -DOUT=${out}
              -P ${CMAKE_SOURCE_DIR}/cmake/make_delay_import_lib.cmake
      DEPENDS ${TVR_MINGW_IMPORT_LIB_${dll}} ${CMAKE_SOURCE_DIR}/cmake/make_delay_import_lib.cmake
      COMMENT "Short import library for ${dll}.dll"
      VERBATIM)
    list(APPEND libs ${out})
    target_link_options(${target} PRIVATE -Wl,--delayload=${dll}.dll)
  endforeach()
  add_custom_target(${target}_delay_import_libs DEPENDS ${libs})
  add_dependencies(${target} ${target}_delay_import_libs)
  target_link_libraries(${target} PRIVATE ${libs})
endfunction()
