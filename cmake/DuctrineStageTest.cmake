# ductrine_add_stage_test: a test of a stage module as a stage, through the
# real pipe command. Installed with the SDK (lib/cmake/Ductrine), where
# DuctrineConfig.cmake includes it.
#
#   ductrine_add_stage_test(NAME <name> PIPELINE <word>...
#                           [INPUT <file>] [EXPECT <file>]
#                           [STATUS <exit status>] [MESSAGES <regex>])
#
# Runs `pipe "<words joined by blanks>"` (Ductrine::pipe) with standard
# input from INPUT (none: empty) in a scratch folder of its own, with the
# folders of every stage module of this directory first on
# DUCTRINE_MODULE_PATH, so the modules under test are found before
# installed ones. Passes when standard output is the bytes of EXPECT (none:
# empty; carriage returns of Windows line ends are dropped first), the exit
# status is STATUS (default 0), and standard error is empty, or matches
# MESSAGES when that is given. Relative INPUT and EXPECT are taken from the
# current source folder. Each test has a 60 s timeout.
include_guard(GLOBAL)

set(_ductrine_stage_test_runner ${CMAKE_CURRENT_LIST_DIR}/DuctrineRunStageTest.cmake)

function(ductrine_add_stage_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;INPUT;EXPECT;STATUS;MESSAGES" "PIPELINE")
  if(NOT arg_NAME OR NOT arg_PIPELINE OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ductrine_add_stage_test(NAME <name> PIPELINE <word>... [INPUT <file>] "
                        "[EXPECT <file>] [STATUS <n>] [MESSAGES <regex>]): ${ARGN}")
  endif()
  list(JOIN arg_PIPELINE " " pipeline)
  foreach(file IN ITEMS INPUT EXPECT)
    if(arg_${file})
      get_filename_component(arg_${file} "${arg_${file}}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    endif()
  endforeach()
  if(NOT DEFINED arg_STATUS)
    set(arg_STATUS 0)
  endif()

  # The modules built here, first on the search path.
  set(folders "")
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      list(APPEND folders "$<TARGET_FILE_DIR:${target}>")
    endif()
  endforeach()
  if(WIN32)
    list(JOIN folders "$<SEMICOLON>" path)
  else()
    list(JOIN folders ":" path)
  endif()

  if(TARGET Ductrine::pipe)
    set(pipe $<TARGET_FILE:Ductrine::pipe>)
  else()
    set(pipe $<TARGET_FILE:pipe>)
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${CMAKE_COMMAND}
    "-DPIPE=${pipe}" "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
    "-DMODULE_PATH=${path}" "-DPIPELINE=${pipeline}"
    "-DINPUT=${arg_INPUT}" "-DEXPECT=${arg_EXPECT}" "-DSTATUS=${arg_STATUS}"
    "-DMESSAGES=${arg_MESSAGES}"
    "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/stage-tests/${arg_NAME}"
    -P ${_ductrine_stage_test_runner})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT 60)
endfunction()
