# Cross build for Windows (x86_64) with Debian's MinGW-w64, posix thread model
# (std::thread and std::mutex need it). Used by `make windows`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QNZB_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QNZB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QNZB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QNZB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QNZB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only, so the host's copy serves the target too.
set(QNZB_CLI11_HEADERS /usr/include/CLI CACHE PATH "CLI11's header folder")

# The C99 printf family (%zu, %lld) rather than the old system library's.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# The programs carry the compiler's runtime inside them, so they start from
# the build folder (and under Wine) without the MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine (make test-windows sets its prefix).
find_program(QNZB_WINE NAMES wine64 wine)
if(QNZB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QNZB_WINE})
endif()
