# cmake --install: libraries in lib/kexio, headers in include/kexio, the
# kexio host in bin, a CMake package (find_package(kexio) -> kexio::kexio)
# and a pkg-config file. Every path is relative, so the tree can be moved.
include(CMakePackageConfigHelpers)

# The shared libraries install themselves by target (kexio_shared_library),
# the colormaps with cmaps/.
install(TARGETS kexio_app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kexio DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT kexioTargets NAMESPACE kexio:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kexio)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kexioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kexioConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kexio)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kexioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kexioConfig.cmake ${PROJECT_BINARY_DIR}/kexioConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kexio)

configure_file(${PROJECT_SOURCE_DIR}/cmake/kexio.pc.in ${PROJECT_BINARY_DIR}/kexio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kexio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
