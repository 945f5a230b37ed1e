# Installs the built project into a scratch prefix, then configures, builds and runs a consumer
# that knows nothing but find_package(talvo2 CONFIG) and the target talvo2::talvo2.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(header talvo2/talvo2.hpp corekit2/sptr.hpp propstore2/property_storage.hpp
        ulib_2_18/text.hpp notify2/progress.hpp)
    if(NOT EXISTS "${prefix}/include/${header}")
        message(FATAL_ERROR "installed headers lack ${header}")
    endif()
endforeach()

set(flags)
if(SANITIZE)
    set(flags "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined"
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" ${flags})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/consumer")
if(NOT last_output MATCHES "result extension: \\.talvo\n")
    message(FATAL_ERROR "unexpected consumer output:\n${last_output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
