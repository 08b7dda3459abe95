# What `cmake --install` lays out: the public headers under include/, the module and the engine
# side by side (Linux: lib/, Windows: bin/), lumoget, and on Linux a CMake package for C++
# hosts (find_package(lumodownload) gives lumodownload::lumodownload with the include folder and
# LUMODOWNLOAD_MODULE, the path to load at run time).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/lumo ${CMAKE_SOURCE_DIR}/include/zdl
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
if(WIN32)
  # A launcher loads both DLLs from one folder.
  install(TARGETS lumodownload zdlcore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS lumodownload zdlcore LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET lumoget)
  install(TARGETS lumoget RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/docs/host-guide.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/sample/sample_host.c ${CMAKE_SOURCE_DIR}/docs/sample/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/sample)
if(WIN32)
  # Beside the DLLs: it loads the plug-in from its own folder.
  install(TARGETS sample_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(NOT WIN32)
  set(_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/lumodownload)
  configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/lumodownloadConfig.cmake.in
    ${CMAKE_BINARY_DIR}/generated/lumodownloadConfig.cmake
    INSTALL_DESTINATION ${_package_dir}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/generated/lumodownloadConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/generated/lumodownloadConfig.cmake
                ${CMAKE_BINARY_DIR}/generated/lumodownloadConfigVersion.cmake
          DESTINATION ${_package_dir})
endif()
