# The installed package for authors of interposing layers: libtovrel and
# libtrellan in lib/, the public headers under include/zantu/ with their
# repository-relative paths (so <zantu/client/tovrel.h> and "client/tovrel.h"
# both resolve, and so do the headers' own includes), a CMake package (find_package(zantu)
# gives zantu::tovrel) and a pkg-config file (zantu.pc).
#
# Included from client/CMakeLists.txt, once tovrel and trellan exist. The
# layout is fixed (lib, include, bin) because the installed programs and
# libraries find each other through run paths relative to $ORIGIN.
include(CMakePackageConfigHelpers)

if(PROJECT_VERSION)
  set(ZANTU_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(ZANTU_PACKAGE_VERSION 0.1.0)
endif()
set(ZANTU_INSTALL_CMAKEDIR lib/cmake/zantu)

# The project headers `roots` include, followed transitively through quoted
# includes (always relative to the repository root). Every header read is a
# configure dependency, so a new include reaches the installed set.
function(zantu_header_closure out)
  set(pending ${ARGN})
  set(seen "")
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST seen)
      continue()
    endif()
    set(path ${CMAKE_SOURCE_DIR}/${header})
    if(NOT EXISTS ${path})
      message(FATAL_ERROR "public header ${header} not found under ${CMAKE_SOURCE_DIR}")
    endif()
    list(APPEND seen ${header})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND pending ${included})
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# tovrel.h and what it includes, plus the module and function numbering that
# every layer writes into its requests.
zantu_header_closure(ZANTU_PUBLIC_HEADERS client/tovrel.h common/api_numbers.h)
foreach(header IN LISTS ZANTU_PUBLIC_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${header} DESTINATION include/zantu/${dir})
endforeach()

# Consumers of the installed targets see include (for <zantu/client/tovrel.h>)
# and include/zantu (for "client/tovrel.h", and for the headers' own
# includes); the build tree keeps its repository-root include path.
target_include_directories(trellan INTERFACE $<INSTALL_INTERFACE:include> $<INSTALL_INTERFACE:include/zantu>)
target_include_directories(tovrel INTERFACE $<INSTALL_INTERFACE:include> $<INSTALL_INTERFACE:include/zantu>)

install(EXPORT zantu-targets NAMESPACE zantu:: DESTINATION ${ZANTU_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zantu-config.cmake.in
  ${CMAKE_BINARY_DIR}/package/zantu-config.cmake
  INSTALL_DESTINATION ${ZANTU_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/zantu-config-version.cmake
  VERSION ${ZANTU_PACKAGE_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/zantu-config.cmake
              ${CMAKE_BINARY_DIR}/package/zantu-config-version.cmake
        DESTINATION ${ZANTU_INSTALL_CMAKEDIR})

# The .pc file locates the prefix from its own place, so it stays right for
# `cmake --install --prefix <dir>` and for a moved tree.
configure_file(${CMAKE_SOURCE_DIR}/cmake/zantu.pc.in ${CMAKE_BINARY_DIR}/package/zantu.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zantu.pc DESTINATION lib/pkgconfig)
