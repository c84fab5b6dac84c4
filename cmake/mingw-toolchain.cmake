# The settings both mingw-w64 toolchain files share (posix thread model).
# The including file sets QX_MINGW_TARGET, CMAKE_SYSTEM_PROCESSOR and
# QX_WINE_LOADER, the Wine loader that runs what this toolchain builds.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QX_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${QX_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${QX_WINE_LOADER})
