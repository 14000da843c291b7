# cmake -DBUILD_DIR=... -DWORK=... -DCONSUMER_SOURCE=... -P InstallTest.cmake
# Every step must succeed; the first one that does not fails the test.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("-- ${what}\n${out}${err}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result})")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/run)

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run("configure the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK}/consumer -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_C_FLAGS=${C_FLAGS}
  -DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS} -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
if(NOT out MATCHES "PELK_UserMapCopy ${VERSION} from ${prefix}/")
  message(FATAL_ERROR "find_package did not find version ${VERSION} in ${prefix}")
endif()
run("build the consumer" ${CMAKE_COMMAND} --build ${WORK}/consumer)

execute_process(COMMAND ${WORK}/consumer/consumer WORKING_DIRECTORY ${WORK}/run
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("-- run the consumer in an empty folder\n${out}${err}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the consumer failed (${result})")
endif()
if(NOT out MATCHES "module: ${prefix}/")
  message(FATAL_ERROR "the consumer did not load the installed module")
endif()

set(tool ${prefix}/${BINDIR}/pelk-mapcopy)
run("installed pelk-mapcopy --version" ${tool} --version)
if(NOT out MATCHES "${VERSION}")
  message(FATAL_ERROR "pelk-mapcopy --version does not name ${VERSION}")
endif()

# The installed tool finds the installed module on its own and installs the
# sample card.
file(COPY ${SAMPLE}/ DESTINATION ${WORK}/device)
run("installed pelk-mapcopy run" ${tool} run --device-root ${WORK}/device)
if(NOT out MATCHES "^0 STATUS_OK")
  message(FATAL_ERROR "the installed pelk-mapcopy did not install the sample card")
endif()
