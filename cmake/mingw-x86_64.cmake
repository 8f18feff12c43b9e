# Cross-build for 64-bit Windows with mingw-w64: the test build for machines
# whose kernel runs no 32-bit code (the 32-bit Wine loader cannot start there).
# Same sources and targets as the i686 build; the i686 stub is what ships.
# ctest runs every Windows test program through the 64-bit Wine loader.
set(KIV_MINGW_PROCESSOR x86_64)
set(KIV_WINE_RUN wine64-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
