# Installation: the two programs, their manual pages, and the channel manager
# as a static library with its headers, an exported CMake package and a
# pkg-config file, so that another program can use it:
#   find_package(ccm REQUIRED)
#   target_link_libraries(app PRIVATE ccm)
# or, with any other build system,
#   c++ -std=c++20 app.cpp $(pkg-config --cflags --libs ccm)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS wq_jpmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET wq_jpagent)
  install(TARGETS wq_jpagent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

file(GLOB WQ_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/*.1)
if(WQ_MAN_PAGES)
  install(FILES ${WQ_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Every header of the two libraries; they include each other by file name, so
# they go into one directory. No header of the messenger is among them.
set(WQ_PUBLIC_HEADERS)
foreach(dir ${WQBASE_INCLUDE_DIRS} ${CCM_INCLUDE_DIRS})
  file(GLOB found ${dir}/*.h)
  list(APPEND WQ_PUBLIC_HEADERS ${found})
endforeach()
install(FILES ${WQ_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ccm)

install(TARGETS ccm wqbase EXPORT ccmTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT ccmTargets DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ccm)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ccmConfig.cmake.in [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/ccmTargets.cmake")
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/ccmConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ccmConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ccm)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ccmConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ccmConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ccmConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ccm)

# pkg-config file. Its paths are relative to where it lies, so that it holds
# for whatever prefix the install or the package chooses. The libraries are
# static, so they are listed in link order (the channel manager before the
# shared library it uses), with the thread flag both need.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(WQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH WQ_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" WQ_PC_UP "${WQ_PC_UP}")
  set(WQ_PC_PREFIX "\${pcfiledir}/${WQ_PC_UP}")
endif()
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_LIBDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE WQ_PC_LIBDIR)
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_INCLUDEDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE WQ_PC_INCLUDEDIR)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ccm.pc "prefix=${WQ_PC_PREFIX}
libdir=${WQ_PC_LIBDIR}
includedir=${WQ_PC_INCLUDEDIR}/ccm

Name: ccm
Description: Channel manager: message library with one network thread (static, C++20)
Version: ${PROJECT_VERSION}
Cflags: -I\${includedir} -pthread
Libs: -L\${libdir} -lccm -lwqbase -pthread
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ccm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Debian package: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME "wq-jpmd")
set(CPACK_PACKAGE_VENDOR "wq8")
set(CPACK_PACKAGE_CONTACT "wq8 developers <wq8@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Job messenger and agent peer of a workload-automation agent")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_GENERATOR "DEB")
include(CPack)
