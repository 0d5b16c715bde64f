# Installation: headers, libraries, orvel-sim, and a package configuration
# so that a host does
#
#   find_package(Orvel 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE Orvel::sdk Orvel::platform)
#
# Targets: Orvel::runtime, Orvel::foundation, Orvel::uikit,
# Orvel::usernotifications, Orvel::device, Orvel::sdk, and Orvel::platform
# (everything, for hosts that want the whole simulated platform).
include(CMakePackageConfigHelpers)

set(orvel_installed_libraries orvel_runtime orvel_foundation orvel_uikit orvel_usernotifications orvel_device
    orvel_sdk)
set(orvel_header_dirs
    ${PROJECT_SOURCE_DIR}/platform/runtime/include
    ${PROJECT_SOURCE_DIR}/platform/foundation/include
    ${PROJECT_SOURCE_DIR}/platform/uikit/include
    ${PROJECT_SOURCE_DIR}/platform/usernotifications/include
    ${PROJECT_SOURCE_DIR}/platform/device/include
    ${PROJECT_SOURCE_DIR}/include)
foreach(target ${orvel_installed_libraries})
  if(NOT TARGET ${target})
    message(STATUS "Installation rules skipped: ${target} is not part of this build")
    return()
  endif()
endforeach()

# The umbrella: the library and the whole platform under it.
add_library(orvel_platform INTERFACE)
add_library(orvel::platform ALIAS orvel_platform)
target_link_libraries(orvel_platform INTERFACE ${orvel_installed_libraries})
set_target_properties(orvel_platform PROPERTIES EXPORT_NAME platform)

install(TARGETS ${orvel_installed_libraries} orvel_platform
  EXPORT OrvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(dir ${orvel_header_dirs})
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
endforeach()
if(TARGET orvel_sim_tool)
  install(TARGETS orvel_sim_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(orvel_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Orvel)
# Static libraries carry their private dependencies into the host's link.
get_target_property(orvel_foundation_type orvel_foundation TYPE)
if(orvel_foundation_type STREQUAL "STATIC_LIBRARY")
  set(ORVEL_STATIC_LIBRARIES ON)
else()
  set(ORVEL_STATIC_LIBRARIES OFF)
endif()
install(EXPORT OrvelTargets NAMESPACE Orvel:: DESTINATION ${orvel_config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/OrvelConfig.cmake
  INSTALL_DESTINATION ${orvel_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/OrvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/OrvelConfig.cmake ${PROJECT_BINARY_DIR}/cmake/OrvelConfigVersion.cmake
  DESTINATION ${orvel_config_dir})

# A tiny host built against the installed package, in a prefix of its own.
if(ORVEL_BUILD_TESTS)
  add_test(NAME install.host
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DWORK_DIR=${PROJECT_BINARY_DIR}/install-test
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/tests/install
      -DGENERATOR=${CMAKE_GENERATOR}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DSANITIZE=${ORVEL_SANITIZE}
      -P ${PROJECT_SOURCE_DIR}/tests/install/run.cmake)
  set_tests_properties(install.host PROPERTIES TIMEOUT 600 LABELS install)
endif()
