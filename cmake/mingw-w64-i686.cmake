# Cross-builds the library for 32-bit Windows (the classic word size: 32-bit pointers, long
# and size_t) with mingw-w64, posix thread model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEMO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# The baseline processor has SSE2, as every 32-bit Windows since Windows 8 requires: the memory
# routines use SSE2 intrinsics, and floating-point arithmetic is done in SSE registers as on
# x86-64 (no x87 excess precision), so both word sizes compute the same results.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# 32-bit MinGW unwinds exceptions with DWARF tables that each module registers with its libgcc:
# an exception thrown in one module and caught in another (the library and its programs) needs
# one shared unwinder, so the GCC runtime and the C++ runtime are the shared ones here
# (libgcc_s_dw2-1.dll, libstdc++-6.dll beside the programs).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
