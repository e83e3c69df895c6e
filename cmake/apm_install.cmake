# The installed package: the static libraries, their headers in the layout
# they include each other by (below include/apm_measurement, so that folder
# names such as platform/ do not land in a shared include folder), and a
# package config exporting them as apm::<folder>, plus apm::measurement
# linking them all. A program then needs only
#   find_package(apm_measurement REQUIRED)
#   target_link_libraries(<program> PRIVATE apm::measurement)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(apm_libraries GLOBAL PROPERTY APM_LIBRARIES)
add_library(apm_measurement INTERFACE)
target_link_libraries(apm_measurement INTERFACE ${apm_libraries})
set_target_properties(apm_measurement PROPERTIES EXPORT_NAME measurement)
add_library(apm::measurement ALIAS apm_measurement)

set(apm_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/apm_measurement)
install(TARGETS ${apm_libraries} apm_measurement EXPORT apm_measurement_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Headers named *_internal.h are shared by a library's own sources only: no
# installed header includes them, and they are not installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform ${PROJECT_SOURCE_DIR}/sdk_core ${PROJECT_SOURCE_DIR}/measurement
        DESTINATION ${APM_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h" PATTERN "*_internal.h" EXCLUDE)
install(EXPORT apm_measurement_targets NAMESPACE apm:: FILE apm_measurementTargets.cmake
        DESTINATION ${apm_config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/apm_measurementConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/apm_measurementConfig.cmake
                              INSTALL_DESTINATION ${apm_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/apm_measurementConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/apm_measurementConfig.cmake
              ${PROJECT_BINARY_DIR}/apm_measurementConfigVersion.cmake
        DESTINATION ${apm_config_dir})
