# Cross-compiling for Windows with MinGW-w64 (posix threads): i686, the
# product, or x86_64, what benchmarks measure on hosts that run no 32-bit
# code (and the tests' last resort where 32-bit Wine cannot run at all).
if(NOT ORLAVENT_ARCH)
    set(ORLAVENT_ARCH i686)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORLAVENT_ARCH})

set(CMAKE_C_COMPILER ${ORLAVENT_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORLAVENT_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${ORLAVENT_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORLAVENT_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
