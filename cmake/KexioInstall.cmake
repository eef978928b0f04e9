# cmake --install: libraries in lib/kexio, headers in include/kexio, the
# kexio host in bin, a CMake package (find_package(kexio) -> kexio::kexio)
# and a pkg-config file. Every path is relative, so the tree can be moved.
include(CMakePackageConfigHelpers)

install(TARGETS kexio_lib kexrt kexutlr kexstatscir EXPORT kexioTargets
  LIBRARY DESTINATION ${KEXIO_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${KEXIO_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kexio_app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kexio DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Whatever the build placed beside libkexio.so besides the libraries
# themselves (cmaps/, run-time-loaded host libraries) goes beside it too.
install(DIRECTORY ${KEXIO_LIB_DIR}/ DESTINATION ${KEXIO_INSTALL_LIBDIR}
  USE_SOURCE_PERMISSIONS
  FILES_MATCHING PATTERN "cmaps/*" PATTERN "libkeximager.so*" PATTERN "libtblreadr.so*"
  PATTERN "libkexstatscir.so*"
  PATTERN "cmake" EXCLUDE PATTERN "pkgconfig" EXCLUDE)

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
