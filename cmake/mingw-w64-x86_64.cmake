# Cross-builds for Windows with Debian's mingw-w64 compilers (x86_64-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMORA_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests run under Wine's 64-bit loader where it is installed.
find_program(VELMORA_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(VELMORA_WINE64 NAMES wine64)
if(VELMORA_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_WINE64})
endif()
