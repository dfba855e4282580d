# 32-bit Windows (MinGW-w64, i686), run under 32-bit Wine where it is
# installed.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KAVREL_MINGW_TRIPLE i686-w64-mingw32)
set(KAVREL_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
