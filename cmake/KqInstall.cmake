# Headers, libraries, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kqbitmapops)

install(TARGETS kqbitmapops KqLib kqvolume ReplicationClient
  EXPORT kqbitmapopsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops)
install(DIRECTORY platform/kqlib/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops/kqlib)
install(DIRECTORY platform/kqvolume/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops/kqvolume)
install(DIRECTORY platform/replication/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqbitmapops/replication)

install(EXPORT kqbitmapopsTargets NAMESPACE kqbitmapops:: DESTINATION ${KQ_CMAKE_DIR})
configure_package_config_file(cmake/kqbitmapopsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake INSTALL_DESTINATION ${KQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapopsConfigVersion.cmake
        DESTINATION ${KQ_CMAKE_DIR})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH KQ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KQ_PC_TO_PREFIX "${KQ_PC_TO_PREFIX}")
configure_file(cmake/kqbitmapops.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapops.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kqbitmapops.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installed libraries find each other wherever the prefix is.
set_target_properties(kqbitmapops KqLib kqvolume ReplicationClient PROPERTIES INSTALL_RPATH "$ORIGIN")
