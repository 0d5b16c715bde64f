# The public face of the libraries, in the source tree and installed:
#
#   find_package(Orvel 1.0 REQUIRED)          or   add_subdirectory(orvel)
#   target_link_libraries(app PRIVATE Orvel::sdk Orvel::platform)
#
# Targets: Orvel::runtime, Orvel::foundation, Orvel::uikit,
# Orvel::usernotifications, Orvel::device, Orvel::sdk, and Orvel::platform
# (everything, for hosts that want the whole simulated platform). Each
# carries its include directory and cxx_std_20; a host adds nothing by hand.
include(CMakePackageConfigHelpers)

# Lowest first: the order of a static link line is the reverse.
set(orvel_libraries orvel_runtime orvel_foundation orvel_uikit orvel_usernotifications orvel_device orvel_sdk)
foreach(target ${orvel_libraries})
  if(NOT TARGET ${target})
    message(STATUS "Orvel:: targets and installation skipped: ${target} is not part of this build")
    return()
  endif()
endforeach()

foreach(target ${orvel_libraries})
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  target_compile_features(${target} PUBLIC cxx_std_20)
  get_target_property(name ${target} EXPORT_NAME)
  if(NOT target STREQUAL "orvel_sdk")  # Orvel::sdk is the linking target, below
    add_library(Orvel::${name} ALIAS ${target})
  endif()
endforeach()
add_library(Orvel::sdk ALIAS orvel_sdk_linked)

# The umbrella: the library and the whole platform under it.
add_library(orvel_platform INTERFACE)
target_link_libraries(orvel_platform INTERFACE orvel::sdk orvel_device orvel_usernotifications orvel_uikit
  orvel_foundation orvel_runtime)
set_target_properties(orvel_platform PROPERTIES EXPORT_NAME platform)
add_library(orvel::platform ALIAS orvel_platform)
add_library(Orvel::platform ALIAS orvel_platform)

if(NOT ORVEL_INSTALL)
  return()
endif()

install(TARGETS ${orvel_libraries} orvel_sdk_linked orvel_platform
  EXPORT OrvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The source tree keeps one include directory per layer; installed, they
# share the one folder. Hosts write the same #include lines either way.
foreach(dir
    platform/runtime/include
    platform/foundation/include
    platform/uikit/include
    platform/usernotifications/include
    platform/device/include
    include)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${ORVEL_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
endforeach()
if(TARGET orvel_sim_tool)
  install(TARGETS orvel_sim_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Package configuration. Static libraries carry their private dependencies
# into the host's link.
get_target_property(orvel_sdk_type orvel_sdk TYPE)
if(orvel_sdk_type STREQUAL "STATIC_LIBRARY")
  set(ORVEL_STATIC_LIBRARIES ON)
else()
  set(ORVEL_STATIC_LIBRARIES OFF)
endif()
set(orvel_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Orvel)
install(EXPORT OrvelTargets NAMESPACE Orvel:: DESTINATION ${orvel_config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/OrvelConfig.cmake
  INSTALL_DESTINATION ${orvel_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/OrvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/cmake/OrvelConfig.cmake
    ${PROJECT_BINARY_DIR}/cmake/OrvelConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/OrvelLinkFeatures.cmake
  DESTINATION ${orvel_config_dir})

# pkg-config, for builds without CMake. Its link line does by hand what
# Orvel::sdk's link feature does (cmake/OrvelLinkFeatures.cmake); each is one
# -Wl argument, so pkg-config cannot reorder its parts.
if(ORVEL_STATIC_LIBRARIES)
  set(ORVEL_PC_SDK "-Wl,--whole-archive,-lOrvelSDK,--no-whole-archive")
else()
  set(ORVEL_PC_SDK "-Wl,--push-state,--no-as-needed,-lOrvelSDK,--pop-state")
endif()
set(ORVEL_PC_LIBS "")
foreach(target orvel_device orvel_usernotifications orvel_uikit orvel_foundation orvel_runtime)
  get_target_property(output ${target} OUTPUT_NAME)
  string(APPEND ORVEL_PC_LIBS " -l${output}")
endforeach()
if(ORVEL_STATIC_LIBRARIES)
  string(APPEND ORVEL_PC_LIBS " -lcurl")
endif()
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND ORVEL_PC_LIBS " ${CMAKE_THREAD_LIBS_INIT}")
endif()
# The file finds its prefix from where it is installed, so that an
# installation made with --prefix, or moved, still works.
string(REGEX REPLACE "[^/]+" ".." ORVEL_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
foreach(kind LIBDIR INCLUDEDIR)
  set(dir ${CMAKE_INSTALL_${kind}})
  if(kind STREQUAL "INCLUDEDIR")
    set(dir ${ORVEL_INSTALL_INCLUDEDIR})
  endif()
  if(IS_ABSOLUTE "${dir}")
    set(ORVEL_PC_${kind} "${dir}")
  else()
    set(ORVEL_PC_${kind} "\${prefix}/${dir}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvel.pc.in ${PROJECT_BINARY_DIR}/orvel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(ORVEL_BUILD_TESTS)
  include(${PROJECT_SOURCE_DIR}/tests/install/tests.cmake)
endif()
