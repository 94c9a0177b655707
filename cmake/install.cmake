# Installation: the two programs, the manual pages, and the channel manager
# as a static library with its public headers (include/ccm), an exported
# CMake package and a pkg-config file, so that another program can use it:
#   find_package(ccm REQUIRED)
#   target_link_libraries(app PRIVATE ccm::ccm)
# or, with any other build system,
#   c++ app.cpp $(pkg-config --cflags --libs ccm)
# Both carry C++20, which the headers need.
include(CMakePackageConfigHelpers)

install(TARGETS wq_jpmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET wq_jpagent)
  install(TARGETS wq_jpagent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Section 1 (the programs) and section 3 (the library).
foreach(section 1 3)
  file(GLOB pages ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/*.${section})
  if(pages)
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()

# The public headers: the interface (ccm.h with the queue head it declares
# its queues with and the logger setter it offers) and the IPC records with
# the notices a receiver tells apart. They include each other by file name,
# so they share one directory, and a program includes <ccm/ccm.h>. What the
# units share among themselves or with the tests (error filling, wake-ups,
# allocation with its test hook, I/O constants, lock guards, send helpers)
# and the rest of the shared library stay in the source tree.
set(CCM_PUBLIC_HEADERS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/_ccm/ccm.h
  ${CMAKE_CURRENT_SOURCE_DIR}/src/_ccm/ccm_queue.h
  ${CMAKE_CURRENT_SOURCE_DIR}/src/_ccm/ipcmsg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/src/wq_log.h)
install(FILES ${CCM_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ccm)

# The targets are ccm::ccm and ccm::wqbase (the shared library it links).
install(TARGETS ccm wqbase EXPORT ccmTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT ccmTargets NAMESPACE ccm:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ccm)

# The plain names that earlier packages exported stay usable as aliases.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ccmConfig.cmake.in [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/ccmTargets.cmake")
foreach(_ccm_target ccm wqbase)
  if(NOT TARGET ${_ccm_target})
    add_library(${_ccm_target} ALIAS ccm::${_ccm_target})
  endif()
endforeach()
unset(_ccm_target)
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
# shared library it uses), with the thread flag both need. The headers need
# C++20, which compilers such as g++ 12 do not choose by default.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(WQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH WQ_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" WQ_PC_UP "${WQ_PC_UP}")
  set(WQ_PC_PREFIX "\${pcfiledir}/${WQ_PC_UP}")
endif()
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_LIBDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE WQ_PC_LIBDIR)
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_INCLUDEDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE WQ_PC_INCLUDEDIR)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ccm.pc
"# The channel manager. Its headers need C++20: Cflags carry -std=c++20;
# a program built with a later standard gives its own -std after these
# flags. Programs include <ccm/ccm.h>.
prefix=${WQ_PC_PREFIX}
libdir=${WQ_PC_LIBDIR}
includedir=${WQ_PC_INCLUDEDIR}

Name: ccm
Description: Channel manager: message library with one network thread (static, C++20)
Version: ${PROJECT_VERSION}
Cflags: -std=c++20 -I\${includedir} -pthread
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
