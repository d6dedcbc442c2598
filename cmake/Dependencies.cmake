# Third-party libraries, found the same way on Debian (system packages) and on Windows (vcpkg's
# CMake packages through its toolchain file).

# xxHash. vcpkg ships a CMake package with the target xxHash::xxhash; Debian ships only the header,
# the library and a pkg-config file. Where no package is found the header is used on its own
# (XXH_INLINE_ALL), which is how the mingw-w64 cross build gets it.
add_library(qdt_xxhash INTERFACE)
find_package(xxHash CONFIG QUIET)
if(TARGET xxHash::xxhash)
    target_link_libraries(qdt_xxhash INTERFACE xxHash::xxhash)
else()
    find_path(QDT_XXHASH_INCLUDE_DIR xxhash.h REQUIRED)
    target_include_directories(qdt_xxhash SYSTEM INTERFACE "${QDT_XXHASH_INCLUDE_DIR}")
    target_compile_definitions(qdt_xxhash INTERFACE XXH_INLINE_ALL)
endif()

# nlohmann JSON: header-only, with a CMake package both on Debian and in vcpkg. The Qt library
# reads manifests with it and the command-line tool writes and checks them.
# The cross build gets the bare headers from its toolchain file instead.
if(QDT_NLOHMANN_INCLUDE_DIR)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${QDT_NLOHMANN_INCLUDE_DIR}")
else()
    find_package(nlohmann_json 3 REQUIRED)
endif()
