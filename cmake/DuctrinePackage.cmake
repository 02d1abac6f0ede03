# Packages of the install tree (cmake/DuctrineSdk.cmake), made by CPack in a
# build folder:
#   Linux:   cpack -G DEB  -> ductrine_<version>_<arch>.deb, installing into /usr
#   Windows: cpack -G ZIP  -> ductrine-<version>-win64.zip (pipe.exe, the DLLs
#            and the SDK), unpacked anywhere
# The version is the project's (CMakeLists.txt), as pipe --version shows it.
set(CPACK_PACKAGE_NAME ductrine)
set(CPACK_PACKAGE_VENDOR Ductrine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ductrine maintainers <ductrine@localhost>")
# One line of at most 80 characters (Debian's synopsis).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "record-oriented pipelines: pipe, the Tailwriter stage, a stage module SDK")
set(CPACK_PACKAGE_DESCRIPTION
  "Ductrine runs pipelines of stages joined by record streams. The pipe command\n\
parses a pipeline and loads each stage's module by its name; the Tailwriter\n\
module appends records to files. The SDK (headers, the framework library and\n\
the CMake package Ductrine) builds stage modules of your own.")
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Executables and shared libraries without their debugging symbols; the
# framework archive keeps its symbol table (CMake only runs ranlib on it).
set(CPACK_STRIP_FILES ON)

# The licence, and what Debian wants beside it: the copyright file in the
# machine-readable format (its licence text taken from LICENSE) and a
# changelog, both in share/doc/ductrine. On Windows LICENSE and a README
# about cmd.exe sit at the top of the zip.
if(WIN32)
  install(FILES LICENSE DESTINATION .)
  install(FILES docs/README-windows.txt DESTINATION . RENAME README.txt)
else()
  file(READ LICENSE licence)
  string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" licence "${licence}")
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence "${licence}")
  set(doc_build ${CMAKE_BINARY_DIR}/doc)
  file(CONFIGURE OUTPUT ${doc_build}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Ductrine
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 The Ductrine developers
License: Expat
 ${licence}
")
  # A native package's changelog: the release this build is.
  string(TIMESTAMP changed "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(CONFIGURE OUTPUT ${doc_build}/changelog CONTENT
"ductrine (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${changed}
")
  execute_process(COMMAND gzip -9nf ${doc_build}/changelog RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9nf ${doc_build}/changelog failed")
  endif()
  install(FILES ${doc_build}/copyright ${doc_build}/changelog.gz DESTINATION ${DUCTRINE_DOC_INSTALL_DIR})
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Depends from what the binaries link (dpkg-shlibdeps): the C library, the
  # C++ runtime, libgcc, and whatever the platform library links besides.
  # The platform library itself is in this package, in a private folder
  # that the binaries' RUNPATH ($ORIGIN/...) names.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The SDK part wants a compiler and CMake; the command does not.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++ (>= 12), cmake (>= 3.20)")
endif()

include(CPack)
