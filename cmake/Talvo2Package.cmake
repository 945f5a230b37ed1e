# Installation: libraries, the headers a consumer needs, and a CMake package whose one target,
# talvo2::talvo2, brings the support layers along.
include(CMakePackageConfigHelpers)

install(TARGETS talvo2 corekit2 propstore2 ulib_2_18 tracelog_1 notify2
    EXPORT talvo2Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY include/talvo2 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(layer corekit2 propstore2 ulib_2_18 notify2)
    install(DIRECTORY support/${layer}/include/${layer} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/talvo2)
install(EXPORT talvo2Targets NAMESPACE talvo2:: DESTINATION ${config_dir})
configure_package_config_file(cmake/talvo2Config.cmake.in
    "${CMAKE_CURRENT_BINARY_DIR}/talvo2Config.cmake" INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/talvo2ConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/talvo2Config.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/talvo2ConfigVersion.cmake" DESTINATION ${config_dir})

# A pkg-config file for builds that do not use CMake. Its prefix is taken relative to the file's
# own directory, so the file stays right wherever the tree is installed or later moved; only
# directories configured as absolute paths are written as such.
set(pc_destination ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${pc_destination}")
    set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH pc_up "/${pc_destination}" "/")
    string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
    set(pc_prefix "\${pcfiledir}/${pc_up}")
endif()
foreach(kind libdir includedir)
    string(TOUPPER "${kind}" upper)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${upper}}")
        set(pc_${kind} "${CMAKE_INSTALL_${upper}}")
    else()
        set(pc_${kind} "\${prefix}/${CMAKE_INSTALL_${upper}}")
    endif()
endforeach()
configure_file(cmake/talvo2.pc.in "${CMAKE_CURRENT_BINARY_DIR}/talvo2.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/talvo2.pc" DESTINATION ${pc_destination})
