# Cross-compiles the same sources for 64-bit Windows. Never shipped: it is
# what executes Windows code on hosts that cannot run 32-bit code, so its
# programs run through Wine's 64-bit loader, which every host can start.
set(QX_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QX_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
