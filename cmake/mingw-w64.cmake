# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX threads flavour). Builds the core
# library, the command-line tool and their tests; ctest runs the test programs under Wine.
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QDT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QDT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QDT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QDT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QDT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: Wine (and a player's PC) need no mingw runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine; WINEPREFIX and WINEDEBUG come from the environment.
find_program(QDT_WINE NAMES wine wine64)
if(QDT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${QDT_WINE}")
endif()

# No Qt for Windows here.
set(QDT_BUILD_GUI OFF CACHE BOOL "" FORCE)

# xxhash.h is header-only, but /usr/include must not be searched as a whole (it holds the Linux
# C library's headers): give the cross build a folder with just that header.
if(NOT DEFINED QDT_XXHASH_INCLUDE_DIR AND EXISTS /usr/include/xxhash.h AND CMAKE_BINARY_DIR)
    file(COPY /usr/include/xxhash.h DESTINATION "${CMAKE_BINARY_DIR}/mingw-include")
    set(QDT_XXHASH_INCLUDE_DIR "${CMAKE_BINARY_DIR}/mingw-include" CACHE PATH "" FORCE)
endif()
