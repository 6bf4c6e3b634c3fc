# The documentation's code and output, checked so that neither can rot:
# - the example job of docs/job-guide.md is compiled from the page itself, run,
#   and its output compared with the page's; test_readme runs its function
#   through a failure;
# - every other output block of README.md and docs/ is compared with what the
#   program prints (tests/docs/excerpts.sh).
set(_kq_guide ${PROJECT_SOURCE_DIR}/docs/job-guide.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kq_guide})
file(READ ${_kq_guide} _kq_guide_text)
string(REGEX MATCH "<!-- example-job -->[ \t\r\n]*```cpp\n(.*)```[ \t\r\n]*<!-- /example-job -->"
       _kq_match "${_kq_guide_text}")
if(NOT _kq_match)
  message(FATAL_ERROR "docs/job-guide.md: the example job block is missing")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/generated/example_job.cpp "${CMAKE_MATCH_1}")
target_include_directories(test_readme PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)

add_executable(kq_example_job ${CMAKE_CURRENT_BINARY_DIR}/generated/example_job.cpp)
target_link_libraries(kq_example_job PRIVATE kqbitmapops kqvolume)
kq_target_defaults(kq_example_job)
set(_kq_check ${CMAKE_CURRENT_SOURCE_DIR}/docs/check-excerpt.sh)
add_test(NAME docs.example_job
  COMMAND sh -c "\"$0\" 2>/dev/null | \"$1\" \"$2\" example-job"
          $<TARGET_FILE:kq_example_job> ${_kq_check} ${_kq_guide})
set_tests_properties(docs.example_job PROPERTIES ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}")

if(TARGET kqdemo)
  add_test(NAME docs.excerpts
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/docs/excerpts.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(docs.excerpts PROPERTIES ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}")
endif()
