# Installs the built project into a scratch prefix, then configures, builds and runs a consumer
# that knows nothing but find_package(talvo2 CONFIG) and the target talvo2::talvo2, and then the
# same consumer built by the compiler alone from what pkg-config reports.

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

# The pkg-config consumer uses the compiler and library directory the project was built with.
find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config not found; scripts/bootstrap installs it")
endif()
load_cache("${BUILD_DIR}" READ_WITH_PREFIX build_ CMAKE_CXX_COMPILER CMAKE_INSTALL_LIBDIR)
set(libdir "${prefix}/${build_CMAKE_INSTALL_LIBDIR}")
set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
run(${PKG_CONFIG} --cflags --libs talvo2)
# The .pc file must not pin consumers to wherever the library happened to be installed.
if(last_output MATCHES "-rpath|-Wl,-R")
    message(FATAL_ERROR "talvo2.pc carries a run path: ${last_output}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${last_output}")
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
if(SANITIZE)
    list(APPEND cxx_flags -fsanitize=address,undefined)
endif()
# The run path to the staged libraries belongs to this test's command line, not to the .pc file.
run("${build_CMAKE_CXX_COMPILER}" -std=c++17 ${cxx_flags} "${CONSUMER_DIR}/main.cpp"
    -o "${WORK_DIR}/pc-consumer" ${pc_flags} "-Wl,-rpath,${libdir}")
run("${WORK_DIR}/pc-consumer")
if(NOT last_output MATCHES "result extension: \\.talvo\n")
    message(FATAL_ERROR "unexpected pkg-config consumer output:\n${last_output}")
endif()

# The Python package, when built, imports from the prefix's package directory and finds the
# installed library there.
if(PYTHON)
    set(ENV{PYTHONPATH} "${prefix}/${PYTHON_SITE}")
    run(${PYTHON} -c "import talvo2\nprint(talvo2._core.__file__, talvo2.Result.__doc__ is not None)")
    if(NOT last_output MATCHES "^${prefix}/${PYTHON_SITE}/talvo2/_core.*True")
        message(FATAL_ERROR "the installed Python package is not the one imported:\n${last_output}")
    endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
