# Debian's Android 10 platform libraries and headers, as one interface target.
include(GNUInstallDirs)

set(ANDROID_INCLUDE_DIR "/usr/include/android" CACHE PATH "Android platform headers")
if(NOT DEFINED ANDROID_LIB_DIR)
    if(CMAKE_LIBRARY_ARCHITECTURE)
        set(ANDROID_LIB_DIR "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android")
    else()
        set(ANDROID_LIB_DIR "/usr/lib/x86_64-linux-gnu/android")
    endif()
endif()

foreach(lib utils log cutils base)
    find_library(ANDROID_${lib}_LIBRARY NAMES ${lib} PATHS ${ANDROID_LIB_DIR} NO_DEFAULT_PATH
                 REQUIRED)
endforeach()

add_library(android_platform INTERFACE)
# -isystem keeps the headers' clang-only attribute warnings out of -Werror.
target_include_directories(android_platform SYSTEM INTERFACE ${ANDROID_INCLUDE_DIR})
# The libbinder headers use std::unique_ptr and std::numeric_limits without including them.
target_compile_options(android_platform INTERFACE
    "SHELL:-include memory" "SHELL:-include limits")
target_compile_definitions(android_platform INTERFACE DO_NOT_CHECK_MANUAL_BINDER_INTERFACES)
target_link_libraries(android_platform INTERFACE
    ${ANDROID_utils_LIBRARY} ${ANDROID_log_LIBRARY} ${ANDROID_cutils_LIBRARY}
    ${ANDROID_base_LIBRARY})
target_link_options(android_platform INTERFACE "-Wl,-rpath,${ANDROID_LIB_DIR}")
