# The stub: kivuninst.exe, i686, GUI subsystem, as small as it can be. The
# x86_64 build makes the same program for testing where no 32-bit code runs.
#  -fno-exceptions/-fno-rtti/no unwind tables: nothing here throws or asks a type
#  -fno-threadsafe-statics: one thread, and the guards would pull in libstdc++
#  sections + --gc-sections: drop everything the entry does not reach
#  -static-libgcc/-static-libstdc++: a clean Windows has neither DLL
#  -nostartfiles: the entry file is the entry point; no C runtime start-up
#  --no-insert-timestamp: the same sources give the same bytes
set(KIV_STUB_COMPILE_FLAGS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-threadsafe-statics -ffunction-sections -fdata-sections -fno-ident
  -Wall -Wextra -Werror)
set(KIV_STUB_LINK_FLAGS
  -mwindows -s -nostartfiles -static-libgcc -static-libstdc++ -Wl,--gc-sections
  -Wl,--no-insert-timestamp -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

# Resources: the manifest and the version header carry the project's version
# and the manifest the processor the file is built for.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KIV_MANIFEST_ARCH amd64)
else()
  set(KIV_MANIFEST_ARCH x86)
endif()
set(KIV_MANIFEST_PATH ${CMAKE_BINARY_DIR}/resources/kivuninst.manifest)
# The file carries it without comments and indentation: the stub counts its
# bytes. (CONFIGURE writes it only when it changed.)
file(READ ${CMAKE_SOURCE_DIR}/resources/kivuninst.manifest KIV_MANIFEST)
string(REGEX REPLACE "<!--[^>]*-->" "" KIV_MANIFEST "${KIV_MANIFEST}")
string(REGEX REPLACE ">[ \t\r\n]+<" "><" KIV_MANIFEST "${KIV_MANIFEST}")
string(REGEX REPLACE "[ \t\r\n]+" " " KIV_MANIFEST "${KIV_MANIFEST}")
file(CONFIGURE OUTPUT ${KIV_MANIFEST_PATH} CONTENT "${KIV_MANIFEST}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/resources/kivuninst.manifest)
configure_file(${CMAKE_SOURCE_DIR}/resources/version.h.in ${CMAKE_BINARY_DIR}/resources/version.h @ONLY)

add_executable(kivuninst WIN32 ${KIV_STUB_SOURCES} ${CMAKE_SOURCE_DIR}/resources/kivuninst.rc)
target_include_directories(kivuninst PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/resources)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/kivuninst.rc PROPERTIES
  OBJECT_DEPENDS "${KIV_MANIFEST_PATH};${CMAKE_BINARY_DIR}/resources/version.h")
target_compile_options(kivuninst PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KIV_STUB_COMPILE_FLAGS}>)
target_link_options(kivuninst PRIVATE ${KIV_STUB_LINK_FLAGS})
# One translation unit for the whole program (-fwhole-program): every
# function but the entry point is the compiler's own, free to be inlined,
# dropped or called with arguments in registers. Some 3.5 KiB less than
# separate units; the toolchain's link-time optimisation would do the same,
# but its linker crashes on it.
set_target_properties(kivuninst PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
target_compile_options(kivuninst PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fwhole-program>)
target_link_libraries(kivuninst PRIVATE user32 advapi32 gdi32)

# The shipped stub's static checks read the file and need no Wine, so they
# run on every machine (label "static"): its size and imports (a temporary
# copy keeps only its first 60,000 bytes, and a clean Windows has only the
# system DLLs, of the Windows 95 / NT 4 generation) and its resources. The
# size and import list are facts of the i686 file; the x86_64 test build
# checks its resources only.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(KIV_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
  add_test(NAME stub_size_and_imports
    COMMAND ${CMAKE_COMMAND} -DSTUB=$<TARGET_FILE:kivuninst> -DOBJDUMP=${KIV_OBJDUMP}
            -DALLOWED=${CMAKE_SOURCE_DIR}/cmake/stub_imports.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/check_stub.cmake)
  set_tests_properties(stub_size_and_imports PROPERTIES LABELS static TIMEOUT 60)
endif()
# Debian's python3 (with python3-pefile), whatever python3 comes first on PATH.
find_program(KIV_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME stub_resources
  COMMAND ${KIV_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/check_stub_resources.py
          $<TARGET_FILE:kivuninst> ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR}
          ${PROJECT_VERSION_PATCH} ${KIV_MANIFEST_ARCH})
set_tests_properties(stub_resources PROPERTIES LABELS static TIMEOUT 60)
