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
