# The 64-bit build: the same source tree configured again with the x86-64 toolchain in
# build/x64 (Tamrix64.dll, the 64-bit plug-ins, their tests), built with every build of
# this tree. Its tests join this tree's CTest run and use this tree's 64-bit Wine prefix,
# where they reach this tree's 32-bit server and plug-ins too.
option(TAMRIX_BUILD_X64 "Build Tamrix64.dll and the 64-bit plug-ins in build/x64" ON)
find_program(TAMRIX_CXX64_COMPILER x86_64-w64-mingw32-g++-posix)
if(NOT TAMRIX_BUILD_X64)
  return()
endif()
if(NOT TAMRIX_CXX64_COMPILER)
  message(STATUS "No x86-64 cross compiler: Tamrix64.dll is left out")
  return()
endif()
# The 64-bit type library imports Wine's 64-bit stdole2.tlb (Debian's wine64 package).
find_file(TAMRIX_STDOLE64 stdole2.tlb
          PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
                /usr/lib64/wine/x86_64-windows
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT TAMRIX_STDOLE64)
  message(STATUS "No 64-bit stdole2.tlb: Tamrix64.dll is left out")
  return()
endif()

include(ExternalProject)
set(TAMRIX_X64_DIR ${CMAKE_BINARY_DIR}/x64)
set(x64_args
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-x86_64-mingw.cmake
  -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
  -DTAMRIX_BUILD_TESTS=${TAMRIX_BUILD_TESTS}
  -DTAMRIX_I386_TIMEOUT_SCALE=${TAMRIX_I386_TIMEOUT_SCALE}
  # What the 64-bit tests reach of this tree: its 32-bit server and plug-ins, the samples.
  -DTAMRIX_DLL32=${CMAKE_BINARY_DIR}/bin/Tamrix.dll
  -DTAMRIX_SPI32_DIR=${CMAKE_BINARY_DIR}/tests/plugins
  -DTAMRIX_BUNDLED32_DIR=${CMAKE_BINARY_DIR}/plugins
  -DTAMRIX_SAMPLES_DIR=${CMAKE_BINARY_DIR}/samples)
if(TAMRIX_WINE_RUN64)
  list(APPEND x64_args -DTAMRIX_WINE_RUN64=${TAMRIX_WINE_RUN64})
endif()
# The inner build gets as many jobs as this machine has cores, and runs in the console pool,
# never beside another such step.
cmake_host_system_information(RESULT x64_jobs QUERY NUMBER_OF_LOGICAL_CORES)
ExternalProject_Add(tamrix_x64
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${TAMRIX_X64_DIR}
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS ${x64_args}
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${TAMRIX_X64_DIR} -j ${x64_jobs}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON
  # What the release archive (packaging/) takes from it.
  BUILD_BYPRODUCTS ${TAMRIX_X64_DIR}/bin/Tamrix64.dll ${TAMRIX_X64_DIR}/plugins/iftamrix.sph
                   ${TAMRIX_X64_DIR}/plugins/axtamrix.sph
  # scripts/run.sh configures it alone (tamrix_x64-configure) and builds only its tour target.
  STEP_TARGETS configure)

# Its tests, when it has been configured, are part of this tree's run.
file(WRITE ${CMAKE_BINARY_DIR}/x64_tests.cmake
  "if(EXISTS \"${TAMRIX_X64_DIR}/CTestTestfile.cmake\")\n"
  "  subdirs(\"${TAMRIX_X64_DIR}\")\n"
  "endif()\n")
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/x64_tests.cmake)
