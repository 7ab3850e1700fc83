# Cross-compiles for 64-bit Windows with Debian's mingw-w64 and runs what it built under Wine:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DMIRUTEKA_CORE_ONLY=ON
# Both thread models have the floating-point std::from_chars and std::to_chars that number text
# relies on, but only the posix one has std::mutex and std::thread, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_THREADS posix CACHE STRING "Thread model of the mingw-w64 compiler (posix or win32)")
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime libraries, so that an .exe runs without libstdc++ and friends beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run the .exe files under Wine, with the Japanese ANSI code page (932) that Wine derives
# from the locale (ja_JP.UTF-8 must be generated), in a Wine prefix of the build's own.
find_program(WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WINE64)
    set(MIRUTEKA_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix"
        CACHE PATH "Wine prefix for running tests")
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${MIRUTEKA_WINEPREFIX} WINEDEBUG=-all LC_ALL=ja_JP.UTF-8 ${WINE64})
endif()
