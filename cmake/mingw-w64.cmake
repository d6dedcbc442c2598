# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX threads flavour); ctest runs the
# test programs under Wine. With QDT_WINDOWS_QT naming the static Qt that
# scripts/build-windows-qt.sh makes, the window, its tests and QuenDaraTranslation.exe are built
# too; without it, the core library, the command-line tool and their tests only, which still need
# that build's OpenSSL (-DOPENSSL_ROOT_DIR=<Qt prefix>/openssl).
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         [-DQDT_WINDOWS_QT=$(scripts/build-windows-qt.sh)]
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QDT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QDT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QDT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QDT_MINGW_PREFIX}-windres)

set(QDT_WINDOWS_QT "$ENV{QDT_WINDOWS_QT}" CACHE PATH "Prefix of a static Qt 5 built for this target")
set(CMAKE_FIND_ROOT_PATH /usr/${QDT_MINGW_PREFIX})
if(QDT_WINDOWS_QT)
    list(APPEND CMAKE_FIND_ROOT_PATH "${QDT_WINDOWS_QT}")
    list(APPEND CMAKE_PREFIX_PATH "${QDT_WINDOWS_QT}")
    # The OpenSSL that Qt's build links in serves the signature checks too.
    if(NOT OPENSSL_ROOT_DIR)
        set(OPENSSL_ROOT_DIR "${QDT_WINDOWS_QT}/openssl")
    endif()
endif()
if(OPENSSL_ROOT_DIR)
    list(APPEND CMAKE_FIND_ROOT_PATH "${OPENSSL_ROOT_DIR}")
endif()
set(OPENSSL_USE_STATIC_LIBS TRUE)
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

if(NOT QDT_WINDOWS_QT)
    set(QDT_BUILD_GUI OFF CACHE BOOL "" FORCE)
endif()

# xxHash and nlohmann JSON are header-only, but /usr/include must not be searched as a whole (it
# holds the Linux C library's headers): give the cross build a folder with just those headers.
if(CMAKE_BINARY_DIR)
    set(QDT_MINGW_INCLUDE "${CMAKE_BINARY_DIR}/mingw-include")
    if(NOT DEFINED QDT_XXHASH_INCLUDE_DIR AND EXISTS /usr/include/xxhash.h)
        file(COPY /usr/include/xxhash.h DESTINATION "${QDT_MINGW_INCLUDE}")
        set(QDT_XXHASH_INCLUDE_DIR "${QDT_MINGW_INCLUDE}" CACHE PATH "" FORCE)
    endif()
    if(NOT DEFINED QDT_NLOHMANN_INCLUDE_DIR AND EXISTS /usr/include/nlohmann/json.hpp)
        file(COPY /usr/include/nlohmann DESTINATION "${QDT_MINGW_INCLUDE}")
        set(QDT_NLOHMANN_INCLUDE_DIR "${QDT_MINGW_INCLUDE}" CACHE PATH "" FORCE)
    endif()
endif()
