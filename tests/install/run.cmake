# One case of the integration tests (tests/install/tests.cmake):
#   cmake -DCASE=... -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=...
#         [-DGENERATOR=...] [-DCXX_COMPILER=...] [-DBUILD_TYPE=...] -P run.cmake
# Each host program runs on system versions 9.3 and 13.0 and fails unless
# it heard what it expects (see host.cpp and bare_host.cpp).
foreach(v CASE BUILD_DIR WORK_DIR SOURCE_DIR)
  if(NOT ${v})
    message(FATAL_ERROR "run.cmake needs -D${v}=...")
  endif()
endforeach()

set(shared_prefix ${WORK_DIR}/shared-prefix)
set(static_prefix ${WORK_DIR}/static-prefix)
set(case_dir ${WORK_DIR}/${CASE})
set(hosts ${SOURCE_DIR}/tests/install)
if(NOT CXX_COMPILER)
  set(CXX_COMPILER c++)
endif()
file(REMOVE_RECURSE ${case_dir})
file(MAKE_DIRECTORY ${case_dir})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${CASE}: failed (${result}): ${command}\n${output}")
  endif()
endfunction()

function(expect_files root)
  foreach(file ${ARGN})
    if(NOT EXISTS ${root}/${file})
      message(FATAL_ERROR "${CASE}: the installation lacks ${file}")
    endif()
  endforeach()
endfunction()

# Runs a host program once per system version.
function(run_host program)
  foreach(version 9.3 13.0)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ORVEL_SYSTEM_VERSION=${version} ${program}
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    string(STRIP "${output}" output)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${CASE}: the host did not hear what it should on ${version} (exit ${result}): "
        "${output}\n${errors}")
    endif()
    message(STATUS "${CASE}: ${output}")
  endforeach()
endfunction()

# Configures, builds and runs tests/install/CMakeLists.txt (or a copy of it
# in SOURCE) with the given host program and link mode.
function(build_and_run_host source link)
  cmake_parse_arguments(HOST "" "SOURCE" "OPTIONS" ${ARGN})
  if(NOT HOST_SOURCE)
    set(HOST_SOURCE ${hosts})
  endif()
  set(configure ${CMAKE_COMMAND} -S ${HOST_SOURCE} -B ${case_dir}/build -DHOST_SOURCE=${source}
    -DHOST_LINK=${link} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${HOST_OPTIONS})
  if(GENERATOR)
    list(APPEND configure -G ${GENERATOR})
  endif()
  run(${configure})
  run(${CMAKE_COMMAND} --build ${case_dir}/build --parallel 2)
  run_host(${case_dir}/build/app)
endfunction()

# Compiles a host program with a link line written out by hand.
function(compile_and_run_host source)
  run(${CXX_COMPILER} ${hosts}/${source} -o ${case_dir}/app ${ARGN} -Wl,-rpath,${shared_prefix}/lib)
  run_host(${case_dir}/app)
endfunction()

set(with_shared_prefix -DCMAKE_PREFIX_PATH=${shared_prefix})
if(BUILD_TYPE)
  list(APPEND with_shared_prefix -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()

if(CASE STREQUAL "package")
  # The layout: one folder of our own under include/, versioned shared
  # objects, the package files, and a library that needs the notification
  # framework at run time.
  file(REMOVE_RECURSE ${shared_prefix})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${shared_prefix})
  file(GLOB under_include RELATIVE ${shared_prefix}/include ${shared_prefix}/include/*)
  if(NOT under_include STREQUAL "Orvel")
    message(FATAL_ERROR "${CASE}: include/ holds ${under_include}; everything belongs under include/Orvel")
  endif()
  expect_files(${shared_prefix}
    include/Orvel/orvel/Orvel.h include/Orvel/objc/runtime.h include/Orvel/Foundation/Foundation.h
    include/Orvel/UIKit/UIKit.h include/Orvel/UserNotifications/UserNotifications.h include/Orvel/Device/Device.h
    lib/libOrvelSDK.so lib/libOrvelSDK.so.1 lib/libOrvelSDK.so.1.0.0 lib/libOrvelRuntime.so.1
    lib/cmake/Orvel/OrvelConfig.cmake lib/cmake/Orvel/OrvelConfigVersion.cmake lib/pkgconfig/orvel.pc
    share/doc/Orvel/LICENSE bin/orvel-sim)
  find_program(READELF readelf REQUIRED)
  execute_process(COMMAND ${READELF} -d ${shared_prefix}/lib/libOrvelSDK.so.1 OUTPUT_VARIABLE dynamic)
  if(NOT dynamic MATCHES "NEEDED[^\n]*libOrvelUserNotifications\\.so\\.1")
    message(FATAL_ERROR "${CASE}: libOrvelSDK does not need libOrvelUserNotifications:\n${dynamic}")
  endif()
  # The installed simulator finds the installed libraries and runs its tour
  # (compiled in) green.
  execute_process(COMMAND ${shared_prefix}/bin/orvel-sim --version OUTPUT_VARIABLE version RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT version MATCHES "^orvel-sim [0-9]+\\.[0-9]+\\.[0-9]+\n$")
    message(FATAL_ERROR "${CASE}: orvel-sim --version said \"${version}\" (exit ${result})")
  endif()
  run(${shared_prefix}/bin/orvel-sim tour --json)

elseif(CASE STREQUAL "shared")
  # README.md's host and link line, default linker flags.
  build_and_run_host(host.cpp package OPTIONS ${with_shared_prefix})

elseif(CASE STREQUAL "as-needed")
  # A host naming nothing of the library links only the umbrella target,
  # and the linker drops every library no symbol of which is named.
  build_and_run_host(bare_host.cpp platform-only OPTIONS ${with_shared_prefix} -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed)

elseif(CASE STREQUAL "reversed")
  # A link line by hand, lowest layer first: the notification framework
  # comes before the library, so nothing but the library's own dependency
  # on it orders their initialisation.
  compile_and_run_host(host.cpp -std=c++20 -I${shared_prefix}/include/Orvel -L${shared_prefix}/lib
    -lOrvelRuntime -lOrvelFoundation -lOrvelUIKit -lOrvelUserNotifications -lOrvelDevice -lOrvelSDK)

elseif(CASE STREQUAL "pkg-config")
  # The same host without CMake: pkg-config's flags and nothing else.
  find_program(PKG_CONFIG pkg-config REQUIRED)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${shared_prefix}/lib/pkgconfig
    ${PKG_CONFIG} --cflags --libs orvel OUTPUT_VARIABLE flags RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CASE}: pkg-config --cflags --libs orvel failed: ${errors}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  compile_and_run_host(bare_host.cpp ${flags})

elseif(CASE STREQUAL "gcc-system-prefix")
  # GCC with libobjc's objc/runtime.h in its own include directory, and
  # the package in a prefix the compiler searches by itself after that one,
  # as /usr/local is.
  find_program(GXX g++ REQUIRED)
  execute_process(COMMAND ${GXX} -print-file-name=include/objc/runtime.h OUTPUT_VARIABLE gcc_objc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${gcc_objc}" OR NOT EXISTS "${gcc_objc}")
    message(FATAL_ERROR "${CASE}: GCC has no objc/runtime.h of its own; install libobjc-12-dev (scripts/setup.sh does)")
  endif()
  set(CXX_COMPILER ${GXX})
  build_and_run_host(host.cpp package OPTIONS ${with_shared_prefix} -DHOST_SYSTEM_INCLUDE_DIR=${shared_prefix}/include)

elseif(CASE STREQUAL "subdirectory")
  # The source tree as ./orvel of a host project that chooses static
  # libraries and no build type: both choices stand, and the tests,
  # benchmarks and simulator stay out of the host's build.
  set(project ${case_dir}/src)
  file(COPY ${hosts}/CMakeLists.txt ${hosts}/host.cpp ${hosts}/bare_host.cpp DESTINATION ${project})
  file(CREATE_LINK ${SOURCE_DIR} ${project}/orvel SYMBOLIC)
  build_and_run_host(host.cpp subdirectory SOURCE ${project}
    OPTIONS -DBUILD_SHARED_LIBS=OFF -DORVEL_INSTALL=ON)
  file(STRINGS ${case_dir}/build/CMakeCache.txt build_type REGEX "^CMAKE_BUILD_TYPE:")
  if(NOT build_type MATCHES "=$")
    message(FATAL_ERROR "${CASE}: the library chose a build type for its parent: ${build_type}")
  endif()
  foreach(unwanted orvel/platform/runtime/tests/orvel_runtime_tests orvel/bench/runtime_bench
      orvel/tools/orvel-sim/orvel-sim)
    if(EXISTS ${case_dir}/build/${unwanted})
      message(FATAL_ERROR "${CASE}: the host's build contains ${unwanted}")
    endif()
  endforeach()
  file(REMOVE_RECURSE ${static_prefix})
  run(${CMAKE_COMMAND} --install ${case_dir}/build --prefix ${static_prefix})

elseif(CASE STREQUAL "static")
  # The static package: the library's archive member that installs it at
  # load time is referenced by nothing, yet a host naming nothing of it
  # gets it.
  expect_files(${static_prefix} lib/libOrvelSDK.a lib/libOrvelUserNotifications.a)
  build_and_run_host(bare_host.cpp package OPTIONS -DCMAKE_PREFIX_PATH=${static_prefix})

else()
  message(FATAL_ERROR "run.cmake: no case ${CASE}")
endif()
