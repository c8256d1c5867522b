# Cross-build for 32-bit Windows with MinGW-w64. The -win32 thread-model
# compiler is used: the -posix one pulls in imports that old Windows lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 4.0)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Code for every CPU that runs Windows 95: the 386 instruction set (no
# CMOV, BSWAP, XADD, CPUID, MMX or SSE), x87 floating point, scheduled for
# the 486 and the Pentium.
set(CMAKE_CXX_FLAGS_INIT "-march=i386 -mtune=i486 -mno-mmx -mno-sse -mfpmath=387")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
