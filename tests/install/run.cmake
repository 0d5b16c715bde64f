# Installs the build into a fresh prefix, builds the host in this directory
# against it with find_package(Orvel), and runs the host.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... [-DGENERATOR=...]
#         [-DCXX_COMPILER=...] [-DBUILD_TYPE=...] [-DSANITIZE=...] -P run.cmake
foreach(v BUILD_DIR WORK_DIR SOURCE_DIR)
  if(NOT ${v})
    message(FATAL_ERROR "run.cmake needs -D${v}=...")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(host_build ${WORK_DIR}/host)
file(REMOVE_RECURSE ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed
    include/orvel/Orvel.h include/orvel/OrvelCenter.h include/objc/runtime.h include/Foundation/Foundation.h
    include/UIKit/UIKit.h include/UserNotifications/UserNotifications.h include/Device/Device.h
    bin/orvel-sim)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "the installation lacks ${installed}")
  endif()
endforeach()

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${host_build} -DCMAKE_PREFIX_PATH=${prefix})
if(GENERATOR)
  list(APPEND configure -G ${GENERATOR})
endif()
if(CXX_COMPILER)
  list(APPEND configure -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()
if(BUILD_TYPE)
  list(APPEND configure -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
if(SANITIZE)
  # The installed libraries were built with the sanitizers; the host links
  # their runtimes too.
  list(APPEND configure "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE}")
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${host_build})
run(${host_build}/orvel-host)
# The installed simulator finds the installed libraries and runs its tour
# (compiled in) green.
execute_process(COMMAND ${prefix}/bin/orvel-sim tour --json RESULT_VARIABLE result OUTPUT_VARIABLE ignored)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed orvel-sim tour failed (${result})")
endif()
# README.md shows host.cpp; keep the two the same.
file(READ ${SOURCE_DIR}/host.cpp host)
file(READ ${SOURCE_DIR}/../../README.md readme)
string(FIND "${host}" "#include <iostream>" start)
string(SUBSTRING "${host}" ${start} -1 shown)
string(FIND "${readme}" "${shown}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "README.md no longer shows tests/install/host.cpp from its first include on")
endif()
