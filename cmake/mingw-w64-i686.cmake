# Cross-builds for Windows with Debian's mingw-w64 compilers (i686-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELMORA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests run under Wine's 32-bit loader, in the same 64-bit prefix as the 64-bit
# tests (Debian's wine32:i386).
find_program(VELMORA_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(VELMORA_WINE32 AND EXISTS /usr/lib/i386-linux-gnu/wine/i386-windows)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_WINE32})
endif()
