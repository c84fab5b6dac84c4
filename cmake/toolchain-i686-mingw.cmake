# Cross-compiles for 32-bit Windows: the build that ships. Its programs run
# through the wine wrapper, which needs a host that can run 32-bit code.
set(QX_MINGW_TARGET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QX_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
