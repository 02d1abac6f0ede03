# One test of ductrine_add_stage_test (DuctrineStageTest.cmake), run with
# cmake -P: runs the pipeline through pipe and compares what comes out.
cmake_minimum_required(VERSION 3.20)

set(ENV{DUCTRINE_MODULE_PATH} "${MODULE_PATH}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
if(NOT INPUT)
  set(INPUT "${WORK}/empty-input")
  file(WRITE "${INPUT}" "")
endif()
execute_process(COMMAND ${EMULATOR} "${PIPE}" "${PIPELINE}"
                WORKING_DIRECTORY "${WORK}" INPUT_FILE "${INPUT}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE messages
                TIMEOUT 50)
set(expected "")
if(EXPECT)
  file(READ "${EXPECT}" expected)
endif()
string(REPLACE "\r" "" output "${output}")
string(REPLACE "\r" "" expected "${expected}")

set(failed "")
if(NOT status STREQUAL STATUS)
  string(APPEND failed "  exit status ${status}, expected ${STATUS}\n")
endif()
if(NOT output STREQUAL expected)
  string(APPEND failed "  standard output:\n${output}  expected (${EXPECT}):\n${expected}")
endif()
if(MESSAGES)
  if(NOT messages MATCHES "${MESSAGES}")
    string(APPEND failed "  messages do not match ${MESSAGES}:\n${messages}")
  endif()
elseif(NOT messages STREQUAL "")
  string(APPEND failed "  unexpected messages:\n${messages}")
endif()
if(failed)
  message(FATAL_ERROR "pipe \"${PIPELINE}\"\n${failed}")
endif()
