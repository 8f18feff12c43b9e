# The stubs: four shipped programs from one source, GUI subsystem, small by
# a goal the static checks hold (below). Each processor gives two flavours
# that differ only in the manifest's execution level, the registration root a
# complete walk removes and the file's name:
#
#   file                  processor  flavour      manifest              registration
#   kivuninst.exe         i686       per machine  requireAdministrator  HKEY_LOCAL_MACHINE
#   kivuninst_user.exe    i686       per user     asInvoker             HKEY_CURRENT_USER
#   kivuninst64.exe       x86_64     per machine  requireAdministrator  HKEY_LOCAL_MACHINE
#   kivuninst64_user.exe  x86_64     per user     asInvoker             HKEY_CURRENT_USER
#
# This build's own processor gives the targets kivuninst and kivuninst_user;
# the other processor's pair is built by the same project run once more with
# the other toolchain (KIV_STUBS_ONLY), into this build's directory, so both
# presets hold all four files and check all four without Wine.
#
#  -fno-exceptions/-fno-rtti/no unwind tables: nothing here throws or asks a type
#  -fno-threadsafe-statics: one thread, and the guards would pull in libstdc++
#  -fno-jump-tables: a switch as compares is smaller than its table here
#  -fno-tree-loop-distribute-patterns: a loop that looks like strlen or
#  memset stays a loop, never a call into a C runtime the first Windows 95
#  does not have
#  no -fdata-sections: with it this compiler stores zero-filled globals as
#  data in the file; without, they stay in .bss, which takes no room
#  sections + --gc-sections: drop everything the entry does not reach
#  -static-libgcc/-static-libstdc++: a clean Windows has neither DLL
#  -nostartfiles: the entry file is the entry point; no C runtime start-up
#  --no-insert-timestamp: the same sources give the same bytes
#  subsystem and OS version: 4.0 for i686 (Windows 95 and NT 4); 64-bit
#  Windows loads no PE32+ image that asks for less than 5.2
set(KIV_STUB_COMPILE_FLAGS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-threadsafe-statics -ffunction-sections -fno-ident -fno-jump-tables -fno-tree-loop-distribute-patterns
  -Wall -Wextra -Werror)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KIV_STUB_PROCESSOR x86_64)
  set(KIV_STUB_SUFFIX 64)
  set(KIV_MANIFEST_ARCH amd64)
  set(KIV_STUB_SYSTEM_VERSION 5.2)
else()
  # 32-bit Windows keeps the stack 4-byte aligned and nothing here needs
  # more: without the 16-byte default no function realigns its frame
  # (88 bytes of code).
  list(APPEND KIV_STUB_COMPILE_FLAGS -mpreferred-stack-boundary=2)
  set(KIV_STUB_PROCESSOR i686)
  set(KIV_STUB_SUFFIX "")
  set(KIV_MANIFEST_ARCH x86)
  set(KIV_STUB_SYSTEM_VERSION 4.0)
endif()
string(REPLACE "." ";" kiv_version_parts ${KIV_STUB_SYSTEM_VERSION})
list(GET kiv_version_parts 0 kiv_major)
list(GET kiv_version_parts 1 kiv_minor)
set(KIV_STUB_LINK_FLAGS
  -mwindows -s -nostartfiles -static-libgcc -static-libstdc++ -Wl,--gc-sections
  -Wl,--no-insert-timestamp
  -Wl,--major-subsystem-version,${kiv_major} -Wl,--minor-subsystem-version,${kiv_minor}
  -Wl,--major-os-version,${kiv_major} -Wl,--minor-os-version,${kiv_minor})
# Where the stubs go: this build's top directory, or the directory of the
# build that runs this one for the other processor's pair.
if(NOT KIV_STUB_OUTPUT_DIR)
  set(KIV_STUB_OUTPUT_DIR ${CMAKE_BINARY_DIR})
endif()

# The manifest's text without comments and indentation (the stub counts its
# bytes); each flavour fills in its execution level and the processor.
file(READ ${CMAKE_SOURCE_DIR}/resources/kivuninst.manifest KIV_MANIFEST_TEMPLATE)
string(REGEX REPLACE "<!--[^>]*-->" "" KIV_MANIFEST_TEMPLATE "${KIV_MANIFEST_TEMPLATE}")
string(REGEX REPLACE ">[ \t\r\n]+<" "><" KIV_MANIFEST_TEMPLATE "${KIV_MANIFEST_TEMPLATE}")
string(REGEX REPLACE "[ \t\r\n]+" " " KIV_MANIFEST_TEMPLATE "${KIV_MANIFEST_TEMPLATE}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/resources/kivuninst.manifest
             ${CMAKE_SOURCE_DIR}/resources/version.h.in)

# kiv_add_stub(TARGET FLAVOUR): FLAVOUR is machine or user. The source, the
# flags and the resources are the same for both; KIV_PER_USER tells the code.
function(kiv_add_stub target flavour)
  if(flavour STREQUAL "user")
    set(KIV_MANIFEST_LEVEL asInvoker)
    set(per_user 1)
    set(name kivuninst${KIV_STUB_SUFFIX}_user)
  else()
    set(KIV_MANIFEST_LEVEL requireAdministrator)
    set(per_user 0)
    set(name kivuninst${KIV_STUB_SUFFIX})
  endif()
  set(dir ${CMAKE_BINARY_DIR}/resources/${name})
  set(KIV_MANIFEST_PATH ${dir}/kivuninst.manifest)
  set(KIV_STUB_BASE_NAME ${name})
  set(KIV_STUB_FILE_NAME ${name}.exe)
  # (CONFIGURE writes a file only when it changed.)
  file(CONFIGURE OUTPUT ${KIV_MANIFEST_PATH} CONTENT "${KIV_MANIFEST_TEMPLATE}" @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/resources/version.h.in ${dir}/version.h @ONLY)

  add_executable(${target} WIN32 ${KIV_STUB_SOURCES} ${CMAKE_SOURCE_DIR}/resources/kivuninst.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name}
                        RUNTIME_OUTPUT_DIRECTORY ${KIV_STUB_OUTPUT_DIR})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${dir})
  target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:KIV_PER_USER=${per_user}>)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KIV_STUB_COMPILE_FLAGS}>)
  # The link map beside the stub (name.map): what each section and each
  # function costs, which bench/run prints (bench/stub_size.py).
  target_link_options(${target} PRIVATE ${KIV_STUB_LINK_FLAGS}
                      -Wl,-Map,${KIV_STUB_OUTPUT_DIR}/${name}.map)
  # One translation unit for the whole program (-fwhole-program): every
  # function but the entry point is the compiler's own, free to be inlined,
  # dropped or called with arguments in registers. Measured against separate
  # units: 6,144 bytes less on the i686 stubs, 5,120 on the x86_64 ones. The
  # toolchain's link-time optimisation would do the same, but its linker
  # crashes on it.
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fwhole-program>)
  target_link_libraries(${target} PRIVATE user32 advapi32 gdi32)
endfunction()

kiv_add_stub(kivuninst machine)
kiv_add_stub(kivuninst_user user)
# The resource compiler's objects are remade when a generated manifest or
# version header changes (the one .rc serves both targets).
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/kivuninst.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/resources/kivuninst${KIV_STUB_SUFFIX}/kivuninst.manifest;${CMAKE_BINARY_DIR}/resources/kivuninst${KIV_STUB_SUFFIX}_user/kivuninst.manifest;${CMAKE_BINARY_DIR}/resources/kivuninst${KIV_STUB_SUFFIX}/version.h;${CMAKE_BINARY_DIR}/resources/kivuninst${KIV_STUB_SUFFIX}_user/version.h")
set(KIV_STUB_NAME kivuninst${KIV_STUB_SUFFIX})
set(KIV_USER_STUB_NAME kivuninst${KIV_STUB_SUFFIX}_user)

if(KIV_STUBS_ONLY)
  return()
endif()

# The other processor's pair: this project once more, stubs only, with the
# other toolchain, writing its two files beside this build's own.
include(ExternalProject)
if(KIV_STUB_PROCESSOR STREQUAL "i686")
  set(kiv_other_processor x86_64)
  set(kiv_other_suffix 64)
else()
  set(kiv_other_processor i686)
  set(kiv_other_suffix "")
endif()
ExternalProject_Add(kiv_stubs_${kiv_other_processor}
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/stubs-${kiv_other_processor}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${kiv_other_processor}.cmake
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DKIV_STUBS_ONLY=ON
             -DKIV_STUB_OUTPUT_DIR=${CMAKE_BINARY_DIR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target kivuninst kivuninst_user
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/kivuninst${kiv_other_suffix}.exe
                   ${CMAKE_BINARY_DIR}/kivuninst${kiv_other_suffix}_user.exe)

# The image end as the temporary copy reads it, by the same function built
# for this machine (tools/image_end), for the size check below.
ExternalProject_Add(kiv_image_end_tool
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/image_end
  BINARY_DIR ${CMAKE_BINARY_DIR}/image-end-host
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/image-end-host/image_end)
add_dependencies(kivuninst kiv_image_end_tool)

# The static checks read the files and need no Wine, so they run on every
# machine (label "static"), for all four stubs in either build: size against
# its goal and where the image ends, imports, subsystem and OS version,
# machine type (check_stub.cmake), and string 1, the manifest's level and
# processor and the version information (check_stub_resources.py). A clean
# Windows has only the system DLLs, and every function on stub_imports.txt
# exists on Windows 95, NT 4 and 64-bit Windows alike.
#
# The size goal: the i686 stub within 64 KiB. The x86_64 stub, the same code
# in longer instructions, measures some 512 bytes more; its check allows
# 4 KiB more, so that the i686 goal is the one that binds.
find_program(KIV_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
function(kiv_stub_checks name processor level)
  if(processor STREQUAL "x86_64")
    set(objdump x86_64-w64-mingw32-objdump)
    set(format pei-x86-64)
    set(version 5.2)
    set(arch amd64)
    set(goal 69632)
  else()
    set(objdump i686-w64-mingw32-objdump)
    set(format pei-i386)
    set(version 4.0)
    set(arch x86)
    set(goal 65536)
  endif()
  find_program(KIV_OBJDUMP_${processor} NAMES ${objdump} REQUIRED)
  set(file ${CMAKE_BINARY_DIR}/${name}.exe)
  add_test(NAME ${name}_size_and_imports
    COMMAND ${CMAKE_COMMAND} -DSTUB=${file} -DOBJDUMP=${KIV_OBJDUMP_${processor}}
            -DFORMAT=${format} -DSYSTEM_VERSION=${version} -DGOAL=${goal}
            -DIMAGE_END=${CMAKE_BINARY_DIR}/image-end-host/image_end
            -DALLOWED=${CMAKE_SOURCE_DIR}/cmake/stub_imports.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/check_stub.cmake)
  add_test(NAME ${name}_resources
    COMMAND ${KIV_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/check_stub_resources.py
            ${file} ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR}
            ${PROJECT_VERSION_PATCH} ${arch} ${level} ${name}.exe)
  set_tests_properties(${name}_size_and_imports ${name}_resources PROPERTIES
                       LABELS static TIMEOUT 60)
endfunction()
kiv_stub_checks(kivuninst i686 requireAdministrator)
kiv_stub_checks(kivuninst_user i686 asInvoker)
kiv_stub_checks(kivuninst64 x86_64 requireAdministrator)
kiv_stub_checks(kivuninst64_user x86_64 asInvoker)
