# Build rules shared by the library and its support layers.

# Warnings every target of this project is built with.
function(talvo2_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
    if(TALVO2_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(TALVO2_SANITIZE OR TALVO2_TSAN)
        # GCC 12 reports std::variant and std::string members as maybe-uninitialized once the
        # sanitizers' instrumentation changes inlining; the plain build keeps the warning.
        target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    endif()
endfunction()

if(TALVO2_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
if(TALVO2_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# talvo2_add_shared_library(NAME NAMESPACE SOVERSION SOURCES...)
# A shared library that exports only what its export macro marks, and of that only the names in its
# own namespace: the version script keeps template instantiations of std and Boost out of the
# dynamic symbol table, so the table is exactly the library's API.
function(talvo2_add_shared_library name namespace soversion)
    add_library(${name} SHARED ${ARGN})
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
    # Mangled-name patterns: everything nested in the namespace (functions, members, typeinfo,
    # vtables, thunks). Demangled patterns cannot express "in the namespace" for templates, whose
    # demangled names begin with their return type.
    string(LENGTH "${namespace}" length)
    set(n "${length}${namespace}")
    file(WRITE "${script}"
        "{\n  global:\n    _ZN${n}*; _ZNK${n}*; _ZNR${n}*; _ZNKR${n}*; _ZNO${n}*; _ZNKO${n}*;\n"
        "    _ZTIN${n}*; _ZTSN${n}*; _ZTVN${n}*;\n"
        "    _ZTh*_N${n}*; _ZTh*_NK${n}*; _ZTv*_N${n}*; _ZTv*_NK${n}*;\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE "LINKER:--version-script=${script}" "LINKER:--no-undefined")
    set_target_properties(${name} PROPERTIES
        VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
        SOVERSION ${soversion}
        LINK_DEPENDS "${script}")
    talvo2_set_warnings(${name})
endfunction()
