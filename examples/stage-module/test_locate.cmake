# Tests of the LOCATE stage: each runs a real pipeline through pipe, a known
# producer before the stage and a collector after it, and checks what comes
# out (standard output, a file), the messages and the exit status.
#   cmake -DPIPE=<pipe> -DMODULE_DIRS=<dir;dir> -DDATA=<sample.log> -DWORK=<dir> -P test_locate.cmake
cmake_minimum_required(VERSION 3.20)

# Only these folders are searched for modules: this build's locate first,
# then the installed Tailwriter.
if(PIPE MATCHES "\\.exe$")
  list(JOIN MODULE_DIRS "\\;" path)
else()
  list(JOIN MODULE_DIRS ":" path)
endif()
set(ENV{DUCTRINE_MODULE_PATH} "${path}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(failures 0)

# run(<name> <pipeline> <expected exit status> <expected stdout> [<expected stderr regex>])
function(run name pipeline status stdout)
  execute_process(COMMAND ${PIPE} "${pipeline}" WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE got_status OUTPUT_VARIABLE got_out ERROR_VARIABLE got_err
                  TIMEOUT 20)
  string(REPLACE "\r" "" got_out "${got_out}")
  set(ok TRUE)
  if(NOT got_status STREQUAL status OR NOT got_out STREQUAL stdout)
    set(ok FALSE)
  endif()
  if(ARGC GREATER 4)
    if(NOT got_err MATCHES "${ARGV4}")
      set(ok FALSE)
    endif()
  elseif(NOT got_err STREQUAL "")
    set(ok FALSE)
  endif()
  if(ok)
    message(STATUS "pass: ${name}")
  else()
    message(STATUS "FAIL: ${name}\n  pipe \"${pipeline}\"\n  status ${got_status}, expected ${status}\n"
                   "  stdout:\n${got_out}  expected:\n${stdout}  stderr:\n${got_err}")
    math(EXPR failures "${failures} + 1")
    set(failures ${failures} PARENT_SCOPE)
  endif()
endfunction()

run("records that contain the string"
  "< ${DATA} | locate error | console" 0
  "10.0.0.2 GET /missing.html 404 error: not found\n")

run("ANYCASE"
  "< ${DATA} | locate anycase ERROR | console" 0
  "10.0.0.2 GET /missing.html 404 error: not found\n10.0.0.3 GET /admin 403 Error: forbidden\n")

run("a string with blanks"
  "< ${DATA} | locate GET /index | console" 0
  "10.0.0.1 GET /index.html 200\n10.0.0.2 GET /index.html 200\n")

run("an input selection: the stage sees the first word, passes the record"
  "< ${DATA} | [words 1 1] locate .0.2 | console" 0
  "10.0.0.2 GET /missing.html 404 error: not found\n10.0.0.2 GET /index.html 200\n")

# The other records on the secondary output stream, here into a file.
run("the secondary output gets the other records"
  "(end ?) < ${DATA} | l: locate 200 | console ? l: | >> others.txt" 0
  "10.0.0.1 GET /index.html 200\n10.0.0.1 POST /login 200\n10.0.0.2 GET /index.html 200\n")
file(READ ${WORK}/others.txt others)
string(REPLACE "\r" "" others "${others}")
if(NOT others STREQUAL "10.0.0.2 GET /missing.html 404 error: not found\n10.0.0.3 GET /admin 403 Error: forbidden")
  message(STATUS "FAIL: others.txt holds:\n${others}")
  math(EXPR failures "${failures} + 1")
endif()

run("no record found"
  "< ${DATA} | locate nothing-like-this | console" 0 "")

run("a missing string stops the run before it starts"
  "< ${DATA} | locate | console" 255 ""
  "Pipe\\(0\\),Stage\\(1\\),Type\\(LOCATE\\): 2021IE: Missing argument, operand string expected\\.")

run("nothing feeds the stage"
  "locate x | console" 255 ""
  "Error 1024: .*Type\\(LOCATE\\): The stage requires a primary input stream\\.")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} LOCATE test(s) failed")
endif()
