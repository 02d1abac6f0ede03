# ductrine_add_stage_module: the one recipe for a Ductrine stage module, used
# by this repository for its own modules and installed with the SDK
# (lib/cmake/Ductrine), where DuctrineConfig.cmake includes it.
#
#   ductrine_add_stage_module(<name> SOURCES <source>...
#                             [DESTINATION <dir>] [NO_INSTALL])
#
# Builds <name>.so (<name>.dll on Windows), a loadable module linked with
# Ductrine::framework whose only export is BeginStage: hidden visibility and
# the version script module_exports.map on ELF, module_exports.def on Windows.
# <name> is the stage's command in lower case, since pipe looks for the file
# of a command under that name. The module is installed into <dir>, by
# default ${DUCTRINE_MODULE_INSTALL_DIR} (lib/ductrine) under the install
# prefix, the folder where pipe and the platform library of the same prefix
# look for modules; NO_INSTALL installs nothing (modules only for tests).
include_guard(GLOBAL)

if(NOT DEFINED DUCTRINE_MODULE_INSTALL_DIR)
  set(DUCTRINE_MODULE_INSTALL_DIR lib/ductrine)
endif()

# How a Windows binary carries the C++ runtime (pipe.exe, every DLL, the tests
# and every stage module alike). 64-bit: all of it inside, so nothing but the
# system's DLLs is needed; exceptions unwind through the system's tables.
# 32-bit mingw-w64 unwinds with DWARF tables that each binary registers, at
# load, with the libgcc it was linked with: a static libgcc gives every DLL an
# unwinder that knows only its own frames, so an exception thrown in one
# binary through frames of another (a stop ends a stage's fiber by unwinding
# it from a wait in the platform DLL through the stage's frames) finds no
# handler and ends the process. There libgcc is the one shared
# libgcc_s_dw2-1.dll (with the winpthread DLL it needs), beside pipe.exe.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(DUCTRINE_MINGW_RUNTIME_LINK -static-libstdc++ -shared-libgcc)
else()
  set(DUCTRINE_MINGW_RUNTIME_LINK -static)
endif()

function(ductrine_add_stage_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_INSTALL" "DESTINATION" "SOURCES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ductrine_add_stage_module(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "ductrine_add_stage_module(${name}): SOURCES is required")
  endif()
  if(NOT name MATCHES "^[a-z0-9_-]+$")
    message(FATAL_ERROR "ductrine_add_stage_module(${name}): the name is the stage's command in "
                        "lower case (letters, digits, _ and -): pipe loads the module of command "
                        "FOO from the file foo${CMAKE_SHARED_MODULE_SUFFIX}")
  endif()

  set(exports_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  add_library(${name} MODULE ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE Ductrine::framework)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Installed beside the platform library, which pipe has loaded already.
    # The same path in the build folder, never padded for a rewrite at the
    # install: an empty entry would search the current folder.
    INSTALL_RPATH "\$ORIGIN"
    BUILD_WITH_INSTALL_RPATH ON)
  if(WIN32)
    target_sources(${name} PRIVATE ${exports_dir}/module_exports.def)
    if(MINGW)
      # The C++ runtime inside; libgcc and winpthread too on 64-bit (see
      # DUCTRINE_MINGW_RUNTIME_LINK above).
      target_link_options(${name} PRIVATE ${DUCTRINE_MINGW_RUNTIME_LINK})
    endif()
  else()
    target_link_options(${name} PRIVATE
      "LINKER:--version-script=${exports_dir}/module_exports.map" "LINKER:--no-undefined")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports_dir}/module_exports.map)
  endif()

  if(NOT arg_NO_INSTALL)
    if(NOT arg_DESTINATION)
      set(arg_DESTINATION ${DUCTRINE_MODULE_INSTALL_DIR})
    endif()
    install(TARGETS ${name} LIBRARY DESTINATION ${arg_DESTINATION})
  endif()
endfunction()
