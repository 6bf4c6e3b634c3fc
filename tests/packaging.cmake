# Packaging: install into a scratch prefix, then build and run a small outside
# project against it, once through the CMake package and once through pkg-config.
# Sanitized libraries cannot be linked by a plain outside build, so that build skips it.
if(NOT KQ_SANITIZE AND NOT KQ_COVERAGE AND KQ_INSTALL)
  add_test(NAME packaging.install_and_consume
    COMMAND ${CMAKE_COMMAND}
      -DKQ_BINARY_DIR=${PROJECT_BINARY_DIR}
      -DKQ_CONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/package/consumer
      -DKQ_WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package-work
      -DKQ_GENERATOR=${CMAKE_GENERATOR}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/package/run_package_test.cmake)
  set_tests_properties(packaging.install_and_consume PROPERTIES TIMEOUT 300)
endif()
