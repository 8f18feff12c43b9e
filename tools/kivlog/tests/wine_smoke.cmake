# kivlog.exe under Wine: build an uninstall file on the real stub, build it
# again over the first (the replace), check and list it, append with a stop
# before the new trailer and again whole, and refuse a damaged file with
# exit code 1.
# Run by ctest in the win32 build:
#   cmake -DKIVLOG= -DKIVLOG_STOPPING= -DSTUB= -DEMULATOR= -DWORK= -P
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY_FILE ${STUB} ${WORK}/stub.exe)
file(WRITE ${WORK}/saved.txt "the file as it was")
file(WRITE ${WORK}/m.json [=[
{"display_name": "Example App", "records": [
  {"type": "directory", "path": "C:\\App"},
  {"type": "file", "path": "C:\\App\\a.txt", "saved": {"content_file": "saved.txt"}}
]}
]=])
file(WRITE ${WORK}/more.json [=[
{"records": [
  {"type": "registry", "root": "HKEY_LOCAL_MACHINE", "path": "Software\\Kiv\\V", "data": "1"},
  {"type": "shell_group", "group": "Kiv"}
]}
]=])
file(WRITE ${WORK}/short.exe "MZ too short")

# kivlog(CODE PATTERN args...): runs the tool, expects exit code CODE and
# stdout and stderr together matching PATTERN.
function(kivlog code pattern)
  execute_process(COMMAND ${EMULATOR} ${KIVLOG} ${ARGN}
                  WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL code OR NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "kivlog ${ARGN}: exit ${result}, expected ${code}\n"
                        "stdout: ${out}\nstderr: ${err}\nexpected to match: ${pattern}")
  endif()
endfunction()

kivlog(0 "" build m.json --stub stub.exe -o out.exe)
kivlog(0 "" build m.json --stub stub.exe -o out.exe)
kivlog(0 "ok: 2 records" check out.exe)
kivlog(0 "\"path\": \"C:\\\\\\\\App\\\\\\\\a.txt\",[ \r\n]+\"saved\": {[ \r\n]+\"length\": 18," list --json out.exe)
# Stopped before the new trailer goes in (the test build of append that
# ends itself there, as a kill would): the old records, whole.
execute_process(COMMAND ${EMULATOR} ${KIVLOG_STOPPING} writes:2 out.exe more.json
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 3)
  message(FATAL_ERROR "kivlog_stopping writes:2: exit ${result}, expected 3\n${err}")
endif()
kivlog(0 "ok: 2 records" check out.exe)
kivlog(0 "" append out.exe more.json)
kivlog(0 "ok: 4 records" check out.exe)
kivlog(1 "kivlog: short.exe: damaged: the file is shorter than its trailer \\(12 bytes\\)" check short.exe)
kivlog(2 "see kivlog --help" frob)

# Two appends to one file at once (execute_process runs its commands side by
# side): the lock makes the second wait, and both sets go in whole.
string(REPEAT "0123456789abcdef" 131072 big)
file(WRITE ${WORK}/big.bin "${big}")
file(WRITE ${WORK}/one.json [=[
{"records": [{"type": "file", "path": "C:\\One\\big.dll", "saved": {"content_file": "big.bin"}},
             {"type": "directory", "path": "C:\\One"}]}
]=])
file(WRITE ${WORK}/two.json [=[
{"records": [{"type": "file", "path": "C:\\Two\\big.dll", "saved": {"content_file": "big.bin"}},
             {"type": "directory", "path": "C:\\Two"}]}
]=])
foreach(round 1 2 3)
  kivlog(0 "" build m.json --stub stub.exe -o both.exe)
  execute_process(COMMAND ${EMULATOR} ${KIVLOG} append both.exe one.json
                  COMMAND ${EMULATOR} ${KIVLOG} append both.exe two.json
                  WORKING_DIRECTORY ${WORK} RESULTS_VARIABLE results ERROR_VARIABLE err)
  if(NOT results STREQUAL "0;0")
    message(FATAL_ERROR "two appends at once: exit codes ${results}\n${err}")
  endif()
  kivlog(0 "ok: 6 records" check both.exe)
  kivlog(0 "directory +path=\"C:.One\"" list both.exe)
  kivlog(0 "directory +path=\"C:.Two\"" list both.exe)
endforeach()

# Code page 932 through the system's conversion: a second byte 0x5C stays
# part of its letter, and a file named in UTF-8 outside the ANSI code page
# opens through the wide calls.
file(MAKE_DIRECTORY "${WORK}/café")
file(WRITE "${WORK}/café/表.bin" "saved")
file(WRITE ${WORK}/jp.json [=[
{"display_name": "表示", "code_page": 932, "records": [
  {"type": "directory", "path": "C:\\表"},
  {"type": "file", "path": "C:\\表\\ソ.dll", "saved": {"content_file": "café/表.bin", "time": 1}}]}
]=])
kivlog(0 "" build jp.json --stub stub.exe -o "café/jp.exe")
file(READ "${WORK}/café/jp.exe" hex HEX)
# "表示" NUL, and "C:\表\ソ.dll": 表 is 95 5C, ソ 83 5C.
if(NOT hex MATCHES "955c8ea600" OR NOT hex MATCHES "433a5c955c5c835c2e646c6c00")
  message(FATAL_ERROR "code page 932 bytes not found in jp.exe")
endif()
kivlog(0 "\"display_name\": \"表示\"" list --json --code-page 932 "café/jp.exe")
kivlog(0 "ok: 2 records" check --code-page 932 "café/jp.exe")
file(WRITE ${WORK}/pl.json [=[{"display_name": "Mosł", "code_page": 1251, "records": []}]=])
kivlog(1 "display_name: holds 'ł' \\(U\\+0142\\) at character 4, which code page 1251 cannot hold"
       build pl.json --stub stub.exe -o pl.exe)
