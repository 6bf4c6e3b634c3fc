# Headers, libraries, a CMake package and a pkg-config file, in components
# that become the Debian packages (cmake/KqPackaging.cmake): runtime (the
# versioned library), dev (headers, link library, CMake and pkg-config files),
# standins (the three outside libraries' stand-ins with their headers), tool.
include(CMakePackageConfigHelpers)

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kqbitmapops)

install(TARGETS kqbitmapops
  EXPORT kqbitmapopsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops COMPONENT dev)
install(TARGETS KqLib kqvolume ReplicationClient
  EXPORT kqbitmapopsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standins)
foreach(_kq_dir kqlib kqvolume replication)
  install(DIRECTORY platform/${_kq_dir}/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops/${_kq_dir} COMPONENT standins)
endforeach()

install(EXPORT kqbitmapopsTargets NAMESPACE kqbitmapops:: DESTINATION ${KQ_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/kqbitmapopsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake INSTALL_DESTINATION ${KQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
        DESTINATION ${KQ_CMAKE_DIR} COMPONENT dev)

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH KQ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KQ_PC_TO_PREFIX "${KQ_PC_TO_PREFIX}")
configure_file(cmake/kqbitmapops.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapops.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapops.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Installed libraries find each other wherever the prefix is. The Debian
# packages go to the multiarch directory, which needs no search path:
# scripts/package.sh builds with CMAKE_SKIP_INSTALL_RPATH.
set_target_properties(kqbitmapops KqLib kqvolume ReplicationClient PROPERTIES INSTALL_RPATH "$ORIGIN")
