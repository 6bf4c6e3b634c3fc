# The README's example job is compiled from the README itself, so the guide cannot rot.
set(_kq_readme ${PROJECT_SOURCE_DIR}/README.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kq_readme})
file(READ ${_kq_readme} _kq_readme_text)
string(REGEX MATCH "<!-- example-job -->[ \t\r\n]*```cpp\n(.*)```[ \t\r\n]*<!-- /example-job -->"
       _kq_match "${_kq_readme_text}")
if(NOT _kq_match)
  message(FATAL_ERROR "README.md: the example job block is missing")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/generated/readme_example_job.inc "${CMAKE_MATCH_1}")
target_include_directories(test_readme PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
