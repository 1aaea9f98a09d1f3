# Cross-builds the library for 64-bit Windows with mingw-w64 (posix thread model, which
# std::thread and std::mutex need). Tests run under Wine: scripts/test-windows.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEMO_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
