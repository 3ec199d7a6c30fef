# The hostile test plug-ins (hostile_spi.cpp, hostile.h): hostile_picture.spi ("00IN") and
# hostile_archive.spi ("00AM"), beside the kit's plug-ins in ${CMAKE_BINARY_DIR}/tests/plugins,
# listed with them so the binary checks cover them too.
set(_hostile_common GetPluginInfo IsSupported ConfigurationDlg HostileSetSeed HostileReset HostileHookFrees
    HostileNoteFree HostileBlockState HostileOutstanding HostileBadFrees HostileProtocolErrors HostileLastCall HostileLastBytes)
foreach(variant picture archive)
  set(name hostile_${variant})
  add_library(${name} SHARED ${CMAKE_CURRENT_LIST_DIR}/hostile_spi.cpp)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".spi"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/variants/implib)
  target_compile_features(${name} PRIVATE cxx_std_17)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
  tamrix_module_runtime(${name})
  if(variant STREQUAL "archive")
    target_compile_definitions(${name} PRIVATE HOSTILE_ARCHIVE)
    set(exports ${_hostile_common} GetArchiveInfo GetFileInfo GetFile)
  else()
    set(exports ${_hostile_common} GetPictureInfo GetPicture GetPreview)
  endif()
  set_property(GLOBAL APPEND PROPERTY TAMRIX_TEST_SPIS ${name})
  set_property(GLOBAL PROPERTY TAMRIX_TEST_SPI_EXPORTS_${name} ${exports})
endforeach()
