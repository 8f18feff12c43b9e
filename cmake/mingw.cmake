# The mingw-w64 cross-build, shared by both toolchain files, which set
# KIV_MINGW_PROCESSOR (i686, x86_64) and KIV_WINE_RUN (the script ctest runs
# every Windows test program through) before including it. The -posix
# compilers are the ones GoogleTest builds with (the -win32 ones lack
# std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KIV_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${KIV_MINGW_PROCESSOR}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_PROCESSOR}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_PROCESSOR}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/${KIV_WINE_RUN})
