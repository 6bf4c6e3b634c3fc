# Installs the build tree into a scratch prefix and builds the example job of
# docs/job-guide.md as an outside project against it, with find_package and
# with pkg-config.
file(REMOVE_RECURSE ${KQ_WORK_DIR})
set(prefix ${KQ_WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${KQ_BINARY_DIR} --prefix ${prefix})
foreach(f include/kqbitmapops/KQBitMapOps.h lib/pkgconfig/kqbitmapops.pc
          lib/pkgconfig/kqbitmapops-standins.pc lib/cmake/kqbitmapops/kqbitmapopsConfig.cmake
          lib/kqbitmapops/standins/libkqvolume.so.1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# The stand-ins keep to their own directory, never beside the library.
file(GLOB strays ${prefix}/lib/libKqLib* ${prefix}/lib/libkqvolume* ${prefix}/lib/libReplication*)
if(strays)
  message(FATAL_ERROR "stand-ins in the library directory: ${strays}")
endif()

# The CMake package.
run(${CMAKE_COMMAND} -S ${KQ_CONSUMER_DIR} -B ${KQ_WORK_DIR}/consumer -G ${KQ_GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${KQ_WORK_DIR}/consumer)
run(${KQ_WORK_DIR}/consumer/job)
if(NOT last_output MATCHES "2 blocks backed up")
  message(FATAL_ERROR "unexpected job output: ${last_output}")
endif()

# pkg-config, by hand as a Makefile-based job would; the prefix is no system
# library directory, so the job carries it as its search path itself.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs kqbitmapops kqbitmapops-standins)
  string(STRIP "${last_output}" flags)
  if(NOT flags MATCHES "-I${prefix}/include ")
    message(FATAL_ERROR "pkg-config's paths are not the prefix's: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(c++ -std=c++17 ${KQ_WORK_DIR}/consumer/job.cpp -o ${KQ_WORK_DIR}/pc-job ${flags}
      -Wl,-rpath,${prefix}/lib)
  run(${KQ_WORK_DIR}/pc-job)
endif()
