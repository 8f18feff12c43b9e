# The stub: kivuninst.exe, i686, GUI subsystem, as small as it can be.
#  -fno-exceptions/-fno-rtti/no unwind tables: nothing here throws or asks a type
#  -fno-threadsafe-statics: one thread, and the guards would pull in libstdc++
#  sections + --gc-sections: drop everything the entry does not reach
#  -static-libgcc/-static-libstdc++: a clean Windows has neither DLL
#  --no-insert-timestamp: the same sources give the same bytes
set(KIV_STUB_COMPILE_FLAGS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-threadsafe-statics -ffunction-sections -fdata-sections -fno-ident
  -Wall -Wextra -Werror)
set(KIV_STUB_LINK_FLAGS
  -mwindows -s -static-libgcc -static-libstdc++ -Wl,--gc-sections
  -Wl,--no-insert-timestamp -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

# Resources: the manifest and the version header carry the project's version.
set(KIV_MANIFEST_PATH ${CMAKE_BINARY_DIR}/resources/kivuninst.manifest)
configure_file(${CMAKE_SOURCE_DIR}/resources/kivuninst.manifest ${KIV_MANIFEST_PATH} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/version.h.in ${CMAKE_BINARY_DIR}/resources/version.h @ONLY)

add_executable(kivuninst WIN32 ${KIV_STUB_SOURCES} ${CMAKE_SOURCE_DIR}/resources/kivuninst.rc)
target_include_directories(kivuninst PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/resources)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/kivuninst.rc PROPERTIES
  OBJECT_DEPENDS "${KIV_MANIFEST_PATH};${CMAKE_BINARY_DIR}/resources/version.h")
target_compile_options(kivuninst PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KIV_STUB_COMPILE_FLAGS}>)
target_link_options(kivuninst PRIVATE ${KIV_STUB_LINK_FLAGS})
target_link_libraries(kivuninst PRIVATE user32 advapi32 gdi32)

# The stub's size and imports: a temporary copy keeps only its first 60,000
# bytes, and a clean Windows has only the system DLLs.
find_program(KIV_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
add_test(NAME stub_size_and_imports
  COMMAND ${CMAKE_COMMAND} -DSTUB=$<TARGET_FILE:kivuninst> -DOBJDUMP=${KIV_OBJDUMP}
          -DALLOWED=${CMAKE_SOURCE_DIR}/cmake/stub_imports.txt
          -P ${CMAKE_SOURCE_DIR}/cmake/check_stub.cmake)
