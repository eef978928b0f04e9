# Helpers shared by the targets of the project.

# A shared library of the project (libkexio.so and every host library, also
# those loaded at run time): output in build/lib, installed by target in
# lib/kexio and exported with the CMake package, finding its sibling
# libraries beside itself.
function(kexio_shared_library name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  set_target_properties(${name} PROPERTIES
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  # The Python package's copies are plain files named libNAME.so, the name
  # the loader opens them by too: a wheel holds no symbolic links, and two
  # files of one library would load it twice.
  if(NOT KEXIO_PYTHON_PACKAGE)
    set_target_properties(${name} PROPERTIES
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS ${name} EXPORT kexioTargets
    LIBRARY DESTINATION ${KEXIO_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${KEXIO_INSTALL_LIBDIR})
endfunction()

# An executable that runs from build/bin or an installed bin/.
function(kexio_executable name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  set_target_properties(${name} PROPERTIES
    BUILD_RPATH "$ORIGIN/../lib"
    INSTALL_RPATH "$ORIGIN/../${KEXIO_INSTALL_LIBDIR}")
endfunction()

# A fuzz target. With KEXIO_FUZZ it is a libFuzzer binary fuzz_<name>; in
# every other build its seed corpus (fuzz/corpus/<name>) runs through the same
# entry function as a regular test, so sanitizer builds check it too.
function(kexio_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  set(corpus "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
  if(KEXIO_FUZZ)
    add_executable(fuzz_${name} ${ARG_SOURCES})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_target_properties(fuzz_${name} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
  elseif(KEXIO_TESTS)
    add_executable(corpus_${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/corpus_runner.cpp)
    target_link_libraries(corpus_${name} PRIVATE ${ARG_LIBS})
    target_include_directories(corpus_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_target_properties(corpus_${name} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
    add_test(NAME corpus.${name} COMMAND corpus_${name} ${corpus})
  endif()
endfunction()
