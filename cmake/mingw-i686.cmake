# Cross-build for 32-bit Windows with mingw-w64: the stub we ship. ctest runs
# every Windows test program through the 32-bit Wine (see scripts/wine-run).
set(KIV_MINGW_PROCESSOR i686)
set(KIV_WINE_RUN wine-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
