# kexio.Worksheet (worksheet.cpp) in the module, and the Jupyter kernel
# kexio_kernel: the package beside the module in build/python and its
# kernelspec in build/share/jupyter/kernels/kexio, so that
# JUPYTER_PATH=build/share/jupyter finds it. cmake --install puts the package
# beside the module and the kernelspec into share/jupyter/kernels/kexio of
# the prefix, where Jupyter looks for it (a prefix Jupyter does not search
# is named in JUPYTER_PATH).
target_sources(kexio_python PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/worksheet.cpp)

file(GLOB kexio_kernel_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/kexio_kernel/*.py)
foreach(source ${kexio_kernel_sources})
  get_filename_component(name ${source} NAME)
  configure_file(${source} ${PROJECT_BINARY_DIR}/python/kexio_kernel/${name} COPYONLY)
endforeach()

# The kernelspec starts the kernel through launch.py, which puts the folder
# of the Python packages on the path relative to its own place: the build
# tree and an installed tree (moved or not) each find their own.
set(kexio_spec ${CMAKE_CURRENT_SOURCE_DIR}/kexio_kernel/kernelspec)
function(kexio_kernelspec folder python_dir)
  file(RELATIVE_PATH KEXIO_KERNEL_PYTHONPATH "${folder}" "${python_dir}")
  set(KEXIO_KERNEL_PYTHON ${Python3_EXECUTABLE})
  configure_file(${kexio_spec}/kernel.json.in ${folder}/kernel.json @ONLY)
  configure_file(${kexio_spec}/launch.py.in ${folder}/launch.py @ONLY)
endfunction()
kexio_kernelspec(${PROJECT_BINARY_DIR}/share/jupyter/kernels/kexio ${PROJECT_BINARY_DIR}/python)
# For the installed tree: the same relative step from share/jupyter/kernels/kexio.
kexio_kernelspec(${PROJECT_BINARY_DIR}/python/kernelspec/share/jupyter/kernels/kexio
  ${PROJECT_BINARY_DIR}/python/kernelspec/${KEXIO_PYTHON_INSTALL_DIR})

install(FILES ${kexio_kernel_sources} DESTINATION ${KEXIO_PYTHON_INSTALL_DIR}/kexio_kernel)
install(DIRECTORY ${PROJECT_BINARY_DIR}/python/kernelspec/share/jupyter/kernels/kexio
  DESTINATION share/jupyter/kernels)

# The stubs take Worksheet's from worksheet.pyi: a change there writes them anew.
set_property(TARGET kexio_python APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/worksheet.pyi)
