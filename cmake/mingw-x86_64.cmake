# Cross-compiles the same sources for 64-bit: the Windows build that runs the
# tests on machines that refuse 32-bit code (scripts/windows.sh decides).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
