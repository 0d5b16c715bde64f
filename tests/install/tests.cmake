# Integration tests: host programs built every way a host gets the library,
# each run on system versions 9.3 and 13.0, where it must hear the device
# token event and a remote-notification message, and from 10.0 see a
# presentation through the notification centre. tests/install/run.cmake
# carries out each step; the comments there say what each case shows.
#
# The packaging is the same whatever the compiler flags, so sanitizer
# builds leave these out.
if(ORVEL_SANITIZE)
  return()
endif()

set(orvel_install_work ${PROJECT_BINARY_DIR}/install-tests)
function(orvel_install_test name)
  add_test(NAME install.${name}
    COMMAND ${CMAKE_COMMAND}
      -DCASE=${name}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DWORK_DIR=${orvel_install_work}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DGENERATOR=${CMAKE_GENERATOR}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
      -P ${PROJECT_SOURCE_DIR}/tests/install/run.cmake)
  set_tests_properties(install.${name} PROPERTIES TIMEOUT 900 LABELS install ${ARGN})
endfunction()

# The shared libraries of this build, installed into a prefix of their own.
if(NOT ORVEL_STATIC_LIBRARIES)
  orvel_install_test(package FIXTURES_SETUP orvel_shared_prefix)
  foreach(case shared as-needed reversed pkg-config gcc-system-prefix)
    orvel_install_test(${case} FIXTURES_REQUIRED orvel_shared_prefix)
  endforeach()
endif()
# The source tree inside a host's build, as static libraries (the host's
# choice), then installed from there for a host of the static package.
orvel_install_test(subdirectory FIXTURES_SETUP orvel_static_prefix)
orvel_install_test(static FIXTURES_REQUIRED orvel_static_prefix)

# README.md's examples and commands (the script says how each is run).
if(TARGET orvel_sim_tool)
  add_test(NAME install.readme
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/readme.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
      ${orvel_install_work}/readme)
  set_tests_properties(install.readme PROPERTIES TIMEOUT 900 LABELS install)
endif()
