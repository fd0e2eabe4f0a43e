# Install rules and the exported CMake package.
#
#   <prefix>/include/lumeth/...            public headers (internal/ folders are not installed)
#   <prefix>/lib/liblumeth.a               the library
#   <prefix>/lib/cmake/Lumeth/             LumethConfig.cmake, its version file, exported targets
#   <prefix>/lib/pkgconfig/lumeth.pc       the same for pkg-config
#   <prefix>/bin/lumeth-conformance        the conformance executable, when it is built
#   <prefix>/bin/lumeth                    the command-line tool, when it is built
# and, when the checkpoint importer is built (LUMETH_BUILD_IMPORT), the optional
# component "import":
#   <prefix>/include/lumeth/import/...     its public headers
#   <prefix>/lib/liblumeth_import.a
#   <prefix>/lib/cmake/Lumeth/LumethImportTargets.cmake   Lumeth::import
#   <prefix>/lib/pkgconfig/lumeth-import.pc
# nlohmann-json, which the importer uses privately and header-only, is needed
# neither by Lumeth::lumeth consumers nor by Lumeth::import ones.
#
# The exported Lumeth::lumeth carries the include root, cxx_std_20 and the
# strict floating-point options. The conformance internal library, the tests,
# the benchmarks and the fuzz targets are not installed.

include(CMakePackageConfigHelpers)

set(LUMETH_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Lumeth)

install(TARGETS lumeth EXPORT LumethTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/lumeth/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumeth
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "internal" EXCLUDE)
install(FILES ${LUMETH_GENERATED_INCLUDE_DIR}/lumeth/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumeth)

install(EXPORT LumethTargets
  NAMESPACE Lumeth::
  FILE LumethTargets.cmake
  DESTINATION ${LUMETH_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/LumethConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/LumethConfig.cmake
  INSTALL_DESTINATION ${LUMETH_INSTALL_CMAKEDIR})
# 0.x releases keep their stored formats; a new major version may change them.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/LumethConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/LumethConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/LumethConfigVersion.cmake
  DESTINATION ${LUMETH_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own location, so the tree can be
# installed anywhere (cmake --install --prefix) and moved afterwards.
file(RELATIVE_PATH LUMETH_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LUMETH_PC_TO_PREFIX "${LUMETH_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/lumeth.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/lumeth.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumeth.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET lumeth_import)
  install(TARGETS lumeth_import EXPORT LumethImportTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/import/lumeth/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumeth
    FILES_MATCHING PATTERN "*.hpp"
    PATTERN "internal" EXCLUDE)
  install(EXPORT LumethImportTargets
    NAMESPACE Lumeth::
    FILE LumethImportTargets.cmake
    DESTINATION ${LUMETH_INSTALL_CMAKEDIR})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/lumeth-import.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/lumeth-import.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumeth-import.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

if(TARGET lumeth-conformance)
  install(TARGETS lumeth-conformance RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET lumeth_cli)
  install(TARGETS lumeth_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
