# cmake -DMODE=build|run -DBUILD_DIR=... -DEXAMPLE_DIR=... -DWORK_DIR=...
#       -DGENERATOR=... -DCXX=... -DPKG_CONFIG=... -DEXTRA_FLAGS=... -P check_package.cmake
#
# build: installs BUILD_DIR into WORK_DIR/prefix, checks that every installed
#        program and library finds its libraries, and builds the example with
#        find_package (WORK_DIR/cmake) and with pkg-config (WORK_DIR/pc).
# run:   runs both builds of the example; each must print its line and exit 0.
set(prefix ${WORK_DIR}/prefix)
separate_arguments(extra_flags UNIX_COMMAND "${EXTRA_FLAGS}")
set(pc_binary ${WORK_DIR}/pc/installed_layer)
set(cmake_binary ${WORK_DIR}/cmake/installed_layer)

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 240)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "build")
  file(REMOVE_RECURSE ${WORK_DIR})
  step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

  file(GLOB_RECURSE installed_elf ${prefix}/bin/* ${prefix}/lib/*.so ${prefix}/lib/*.so.*)
  foreach(file IN LISTS installed_elf)
    step("ldd ${file}" ldd ${file})
    if(step_output MATCHES "not found")
      message(FATAL_ERROR "installed ${file} misses a library:\n${step_output}")
    endif()
  endforeach()

  step("configuring the example" ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
       -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
       "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
  step("building the example" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)

  step("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
       ${PKG_CONFIG} --cflags --libs zantu)
  separate_arguments(pc_flags UNIX_COMMAND "${step_output}")
  file(MAKE_DIRECTORY ${WORK_DIR}/pc)
  step("building the example with pkg-config" ${CXX} -std=c++20 ${extra_flags}
       ${EXAMPLE_DIR}/main.cc ${EXAMPLE_DIR}/ping_layer.cc ${pc_flags} -Wl,-rpath,${prefix}/lib -o ${pc_binary})
elseif(MODE STREQUAL "run")
  foreach(binary ${cmake_binary} ${pc_binary})
    execute_process(COMMAND ${binary} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
    message(STATUS "${binary}: ${out}")
    if(NOT rc EQUAL 0 OR NOT out MATCHES "installed_layer: [0-9]+ GPUs, ping status [0-9]+")
      message(FATAL_ERROR "${binary} failed (${rc}):\n${out}${err}")
    endif()
  endforeach()
else()
  message(FATAL_ERROR "MODE must be build or run")
endif()
