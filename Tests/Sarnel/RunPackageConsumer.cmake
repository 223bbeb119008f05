# Scratch install of the Sarnel package, then configure, build and run a
# consumer that finds it with find_package(Sarnel).
foreach(var INSTALL_DIRS WORK_DIR CONSUMER_SOURCE_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/build")
file(REMOVE_RECURSE "${WORK_DIR}")

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Step failed (${result}): ${ARGN}")
  endif()
endfunction()

string(REPLACE "|" ";" install_dirs "${INSTALL_DIRS}")
foreach(dir IN LISTS install_dirs)
  foreach(component Runtime Development)
    run_step("${CMAKE_COMMAND}" --install "${dir}" --prefix "${prefix}" --component ${component})
  endforeach()
endforeach()
run_step("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE_DIR}" -B "${consumer_build}" -G "${GENERATOR}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_LINK_FLAGS}")
run_step("${CMAKE_COMMAND}" --build "${consumer_build}")
run_step("${consumer_build}/SarnelConsumer")
