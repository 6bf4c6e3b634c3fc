# Headers, libraries, CMake packages and pkg-config files, in components that
# become the Debian packages (cmake/KqPackaging.cmake): runtime (the versioned
# library), dev (its header, link library, CMake and pkg-config files),
# standins (the three outside libraries' stand-ins, with their headers, CMake
# targets and pkg-config file), tool.
#
# The stand-ins carry the outside libraries' own names (libKqLib.so.1,
# libkqvolume.so.1, libReplicationClient.so.1), so they go to a directory of
# their own that no ld.so configuration names: whatever the loader's search
# order, no program loads them unless it carries that directory itself. Our
# library and tool carry no search path to it, so on a production host they
# load the backup product's libraries. A program built to run on the stand-ins
# (a job's tests) links kqbitmapops::standins or pkg-config's
# kqbitmapops-standins, which give it that directory as its search path.
include(CMakePackageConfigHelpers)

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kqbitmapops)

install(TARGETS kqbitmapops
  EXPORT kqbitmapopsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops COMPONENT dev)
install(TARGETS KqLib kqvolume ReplicationClient
  EXPORT kqbitmapopsStandinsTargets
  LIBRARY DESTINATION ${KQ_STANDINS_DIR} COMPONENT standins)
foreach(_kq_dir kqlib kqvolume replication)
  install(DIRECTORY platform/${_kq_dir}/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops/${_kq_dir} COMPONENT standins)
endforeach()

install(EXPORT kqbitmapopsTargets NAMESPACE kqbitmapops:: DESTINATION ${KQ_CMAKE_DIR}
        COMPONENT dev)
install(EXPORT kqbitmapopsStandinsTargets NAMESPACE kqbitmapops:: DESTINATION ${KQ_CMAKE_DIR}
        COMPONENT standins)
configure_package_config_file(cmake/kqbitmapopsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake INSTALL_DESTINATION ${KQ_CMAKE_DIR}
  PATH_VARS KQ_STANDINS_DIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
        DESTINATION ${KQ_CMAKE_DIR} COMPONENT dev)

# pkg-config prints the paths as written, so they are written whole.
kq_install_configured(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/kqbitmapops.pc.in kqbitmapops.pc
                      ${CMAKE_INSTALL_LIBDIR}/pkgconfig dev)
kq_install_configured(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/kqbitmapops-standins.pc.in
                      kqbitmapops-standins.pc ${CMAKE_INSTALL_LIBDIR}/pkgconfig standins)

# An installed library looks for nothing by itself: the outside libraries it
# needs are the system's (the product's), or those of the program loading it.
set_target_properties(kqbitmapops KqLib kqvolume ReplicationClient PROPERTIES INSTALL_RPATH "")
