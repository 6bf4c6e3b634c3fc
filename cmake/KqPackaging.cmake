# Debian packages, one per audience, from the install components of
# cmake/KqInstall.cmake: `cpack` in a tree configured by scripts/package.sh.
#   libkqbitmapops1       runtime: the shared library
#   libkqbitmapops-dev    dev: headers, link library, CMake package, pkg-config file
#   kqbitmapops-standins  standins: test stand-ins of the three outside libraries,
#                         in a directory of their own (cmake/KqInstall.cmake)
#   kqbitmap              tool: the inspection tool and its man page
# The library and the tool depend on nothing of the stand-ins: on a production
# host they run with the backup product's libraries.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kqbitmapops)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kqbitmapops developers <kqbitmapops@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev standins tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The shlibs file names our library only: CPack's own would name the stand-ins
# too, and any package built against their names would then depend on them.
# The library's package runs ldconfig through dpkg's trigger; the stand-ins
# stay out of the loader's cache.
set(_kq_control ${CMAKE_CURRENT_BINARY_DIR}/debian-runtime)
file(WRITE ${_kq_control}/triggers "activate-noawait ldconfig\n")
file(WRITE ${_kq_control}/shlibs
  "libkqbitmapops ${PROJECT_VERSION_MAJOR} libkqbitmapops${PROJECT_VERSION_MAJOR} (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_kq_control}/triggers ${_kq_control}/shlibs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds our own libraries in the build tree; being in no
# installed package they add no dependency of their own (the packages'
# dependencies on each other are the component dependencies below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
foreach(_kq_lib kqbitmapops KqLib kqvolume ReplicationClient)
  get_target_property(_kq_dir ${_kq_lib} BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_kq_dir})
endforeach()

# CPack indents the description and marks paragraphs itself.
set(_kq_about
  "kqbitmapops manages the changed-block bitmaps of a volume for block-level\n"
  "backup and replication jobs: it takes them from the block-filter driver,\n"
  "ORs them with the bitmaps it keeps in files under /etc/tessel/, and saves,\n"
  "reads and deletes those files.\n\n")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkqbitmapops${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "changed-block bitmaps of a volume for backup jobs\n" ${_kq_about}
  "This package holds the shared library. It runs with the backup product's\n"
  "log facility, volume library and replication client (libKqLib.so.1,\n"
  "libkqvolume.so.1, libReplicationClient.so.1), which the product installs.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkqbitmapops-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS kqbitmapops-standins)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
  "changed-block bitmaps of a volume for backup jobs - development files\n" ${_kq_about}
  "This package holds what a job is built with: the header, the link library,\n"
  "the CMake package (find_package(kqbitmapops)) and the pkg-config file\n"
  "(kqbitmapops). The library's header includes the log facility's and the\n"
  "volume library's headers: the backup product's, or those of\n"
  "kqbitmapops-standins, whose simulated driver a job's tests run against.")

set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME kqbitmapops-standins)
set(CPACK_DEBIAN_STANDINS_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_STANDINS_DESCRIPTION
  "test stand-ins of the libraries kqbitmapops runs with\n"
  "Stand-ins of the backup product's log facility (libKqLib), volume library\n"
  "(libkqvolume, with a simulated block-filter driver) and replication client\n"
  "(libReplicationClient), with their headers, so that the kqbitmapops library\n"
  "and the jobs using it build and run their tests without the real ones.\n\n"
  "They live in a directory of their own, never in the system's library\n"
  "path: only a program built to run on them (kqbitmapops::standins in CMake,\n"
  "kqbitmapops-standins in pkg-config) loads them, and kqbitmap where the\n"
  "system has no such libraries of its own; installed beside the backup\n"
  "product, they change nothing that any program loads.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kqbitmap)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
string(CONCAT CPACK_COMPONENT_TOOL_DESCRIPTION
  "inspect the changed-block bitmap files of kqbitmapops\n" ${_kq_about}
  "kqbitmap shows the changed extents of a bitmap file, maps where on the\n"
  "volume the changes are on one screen, compares two files and writes their\n"
  "union. See kqbitmap(1).")

if(KQ_DEB)
  if(NOT KQ_BUILD_TOOLS OR NOT KQ_SCDOC)
    message(FATAL_ERROR "KQ_DEB needs KQ_BUILD_TOOLS and scdoc (for kqbitmap's man page)")
  endif()
  # Every package carries its copyright file and changelog, as Debian wants.
  set(_kq_doc ${CMAKE_CURRENT_BINARY_DIR}/debian-doc)
  string(TIMESTAMP _kq_year "%Y" UTC)
  file(WRITE ${_kq_doc}/copyright
    "kqbitmapops\n\nCopyright ${_kq_year} the kqbitmapops developers.\n\n"
    "No licence has been granted for this software; all rights are reserved\n"
    "by its authors.\n")
  string(TIMESTAMP _kq_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${_kq_doc}/changelog.Debian
    "kqbitmapops (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
    "  * Packages of version ${PROJECT_VERSION}.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${_kq_date}\n")
  execute_process(COMMAND gzip -9nf ${_kq_doc}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  foreach(_kq_component runtime dev standins tool)
    string(TOUPPER ${_kq_component} _kq_upper)
    install(FILES ${_kq_doc}/copyright ${_kq_doc}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_kq_upper}_PACKAGE_NAME}
            COMPONENT ${_kq_component})
  endforeach()
  # The README and the guides document the library; the tool's package, which
  # goes on production hosts alone, carries the pages on the files and the
  # tools (kqbitmap(1) points to them).
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkqbitmapops-dev
          COMPONENT dev)
  install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkqbitmapops-dev
          COMPONENT dev)
  install(FILES docs/files.md docs/tools.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kqbitmap
          COMPONENT tool)
endif()

include(CPack)
