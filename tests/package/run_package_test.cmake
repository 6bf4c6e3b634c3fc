# Installs the build tree into a scratch prefix and builds the README's example
# job as an outside project against it, with find_package and with pkg-config.
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
          lib/cmake/kqbitmapops/kqbitmapopsConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The CMake package.
run(${CMAKE_COMMAND} -S ${KQ_CONSUMER_DIR} -B ${KQ_WORK_DIR}/consumer -G ${KQ_GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${KQ_WORK_DIR}/consumer)
run(${KQ_WORK_DIR}/consumer/consumer)
if(NOT last_output MATCHES "2 blocks backed up")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# pkg-config, by hand as a Makefile-based job would.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs kqbitmapops)
  string(STRIP "${last_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(c++ -std=c++17 -I${KQ_WORK_DIR}/consumer ${KQ_CONSUMER_DIR}/consumer.cpp
      -o ${KQ_WORK_DIR}/pc-consumer ${flags}
      -Wl,-rpath,${prefix}/lib)
  run(${KQ_WORK_DIR}/pc-consumer)
endif()
