# The SDK: what `cmake --install` puts under the prefix so that stage modules
# can be built outside this tree, and the ABI version of the platform
# library. Included by CMakeLists.txt once its targets exist.
#
#   bin/pipe                       the command (Windows: pipe.exe and the
#                                  platform DLL, which must sit beside it)
#   lib/ductrine/                  the platform library and every stage module
#   lib/libductrine-framework.a    the stage-side framework (PIC), linked into
#                                  every module; on Windows also the platform
#                                  DLL's import library
#   include/ductrine/              the headers a stage module needs, and
#                                  ductrine/version.h (version, ABI major)
#   lib/cmake/Ductrine/            DuctrineConfig.cmake, DuctrineConfigVersion.cmake,
#                                  DuctrineTargets*.cmake (Ductrine::platform,
#                                  Ductrine::framework, Ductrine::pipe),
#                                  ductrine_add_stage_module and
#                                  ductrine_add_stage_test
#   share/doc/ductrine/            README.md, the guide to writing a stage
#                                  module, the message reference; on ELF the
#                                  copyright (cmake/DuctrinePackage.cmake)
#   share/man/man1/pipe.1.gz       the man page, from pipe --help (not on Windows)
include(CMakePackageConfigHelpers)

# ---- ABI version -----------------------------------------------------------
# A stage module is built against the headers of one version: the stage-call
# record, CPipeSet and its parts, the platform interface. Their ABI is the
# major version, and it is in the platform library's file name: the SONAME
# libductrine-platform.so.<major> on ELF, ductrine-platform-<major>.dll on
# Windows. A module linked against another major version names a library
# that is not there, so the system's loader refuses it and pipe reports the
# loader's reason (message 1020) instead of running code built for another
# layout. Whatever changes that ABI raises the major version in project().
set(DUCTRINE_ABI_VERSION ${PROJECT_VERSION_MAJOR})
if(WIN32)
  set_target_properties(ductrine-platform PROPERTIES OUTPUT_NAME ductrine-platform-${DUCTRINE_ABI_VERSION})
else()
  set_target_properties(ductrine-platform PROPERTIES VERSION ${PROJECT_VERSION}
                                                     SOVERSION ${DUCTRINE_ABI_VERSION})
endif()

# ---- the targets as the SDK names them ---------------------------------------
# In this tree the same names as in an installed SDK, so that
# ductrine_add_stage_module is one recipe for both.
add_library(Ductrine::platform ALIAS ductrine-platform)
add_library(Ductrine::framework ALIAS ductrine-framework)
set_target_properties(ductrine-platform PROPERTIES EXPORT_NAME platform)
set_target_properties(ductrine-framework PROPERTIES EXPORT_NAME framework
                                                    POSITION_INDEPENDENT_CODE ON)
target_include_directories(ductrine-platform INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/ductrine>)
target_compile_features(ductrine-framework PUBLIC cxx_std_20)

# ---- headers -----------------------------------------------------------------
# Exactly what a stage module includes: the stage base and BeginStage body,
# the pipeline set with its record, message, selection and operand
# operations, and the platform header they pull in. Nothing of the driver.
# tests/sdk_headers.cmake checks that these include nothing else of the tree.
set(DUCTRINE_SDK_HEADERS
  stage/process.h
  stage/begin_stage.h
  runtime/pipe_set.h
  runtime/relaxed.h
  runtime/selection.h
  messages/message_arg.h
  messages/format.h
  messages/reason_text.h
  platform/platform.h)
foreach(header IN LISTS DUCTRINE_SDK_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ductrine/${folder})
endforeach()
# "ductrine/version.h": the release and the ABI major, from project() and
# DUCTRINE_ABI_VERSION above, never written by hand.
configure_file(cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/ductrine/version.h @ONLY)
target_include_directories(ductrine-framework PUBLIC $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>)
install(FILES ${CMAKE_BINARY_DIR}/generated/ductrine/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ductrine/ductrine)

# ---- libraries and the command -----------------------------------------------
install(TARGETS ductrine-platform ductrine-framework EXPORT DuctrineTargets
  # Windows: the DLL beside pipe.exe, where the loader finds it.
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  # ELF: the shared library beside the modules.
  LIBRARY DESTINATION ${DUCTRINE_MODULE_INSTALL_DIR}
  # The framework archive, and the DLL's import library.
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET pipe)
  install(TARGETS pipe EXPORT DuctrineTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ---- the CMake package -------------------------------------------------------
set(DUCTRINE_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ductrine)
install(EXPORT DuctrineTargets NAMESPACE Ductrine:: DESTINATION ${DUCTRINE_CMAKE_INSTALL_DIR})
configure_package_config_file(cmake/DuctrineConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DuctrineConfig.cmake
  INSTALL_DESTINATION ${DUCTRINE_CMAKE_INSTALL_DIR}
  PATH_VARS DUCTRINE_MODULE_INSTALL_DIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DuctrineConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/DuctrineConfig.cmake
  ${CMAKE_BINARY_DIR}/DuctrineConfigVersion.cmake
  cmake/DuctrineStageModule.cmake
  cmake/DuctrineStageTest.cmake
  cmake/DuctrineRunStageTest.cmake
  cmake/module_exports.map
  cmake/module_exports.def
  DESTINATION ${DUCTRINE_CMAKE_INSTALL_DIR})

# ---- documentation -------------------------------------------------------------
set(DUCTRINE_DOC_INSTALL_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ductrine)
install(FILES README.md docs/messages.md DESTINATION ${DUCTRINE_DOC_INSTALL_DIR})
install(FILES examples/stage-module/README.md DESTINATION ${DUCTRINE_DOC_INSTALL_DIR}
        RENAME writing-a-stage-module.md)
# The man page pipe(1) is made from the text of pipe --help.
if(NOT WIN32 AND TARGET pipe)
  set(DUCTRINE_MAN_PAGE ${CMAKE_BINARY_DIR}/man/pipe.1)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  add_custom_command(OUTPUT ${DUCTRINE_MAN_PAGE} ${DUCTRINE_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -DHELP=${CMAKE_SOURCE_DIR}/driver/pipe_help.txt
            -DVERSION=${PROJECT_VERSION} -DOUTPUT=${DUCTRINE_MAN_PAGE}
            -P ${CMAKE_SOURCE_DIR}/scripts/man_page.cmake
    DEPENDS driver/pipe_help.txt scripts/man_page.cmake
    COMMENT "Man page pipe(1) from the text of pipe --help")
  add_custom_target(man-page ALL DEPENDS ${DUCTRINE_MAN_PAGE})
  install(FILES ${DUCTRINE_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
