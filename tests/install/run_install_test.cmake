# Driven by the install.consumer test; see CMakeLists.txt.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/stage)
# The tree must work wherever it ends up.
file(RENAME ${WORK_DIR}/stage ${WORK_DIR}/moved)
set(PREFIX ${WORK_DIR}/moved)

# The CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G Ninja
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
message(STATUS "cmake package: ${LAST_OUTPUT}")

# The pkg-config file.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
run(${PKG_CONFIG} --cflags --libs kexio)
string(STRIP "${LAST_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} ${CONSUMER_DIR}/main.cpp ${flags} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
message(STATUS "pkg-config: ${LAST_OUTPUT}")

# The installed host runs from the moved tree too.
run(${PREFIX}/bin/kexio --version)

# The Python module, when it was built, imports from the moved tree and finds
# the library and its colormaps there.
file(GLOB python_module ${BUILD_DIR}/python/kexio*.so)
if(python_module AND PYTHON_SITE)
  set(ENV{PYTHONPATH} ${PREFIX}/${PYTHON_SITE})
  # (No semicolons: they would split the argument.)
  run(/usr/bin/python3 -c "import kexio, os
assert kexio.__file__.startswith(os.environ['PYTHONPATH'])
print(kexio.load_colormap('grey').shape)")
  message(STATUS "python: ${LAST_OUTPUT}")
endif()

# The Jupyter kernel, when it was built, starts from the moved tree's
# kernelspec (which finds the moved packages by itself) and runs a cell.
if(EXISTS ${PREFIX}/share/jupyter/kernels/kexio/kernel.json)
  unset(ENV{PYTHONPATH})
  set(ENV{JUPYTER_PATH} ${PREFIX}/share/jupyter)
  run(/usr/bin/python3 -c "import importlib.util, os, sys
if importlib.util.find_spec('jupyter_client') is None or importlib.util.find_spec('ipykernel') is None:
    print('skipped: no jupyter_client or ipykernel'), sys.exit(0)
from jupyter_client.manager import start_new_kernel
manager, client = start_new_kernel(kernel_name='kexio')
said = []
client.execute_interactive('rows(LoadColormap(\"grey\"))', output_hook=lambda m: said.extend(m['content'].get('data', {}).values()))
manager.shutdown_kernel(now=True)
print(said)
assert said == ['256\\n'], said")
  message(STATUS "kernel: ${LAST_OUTPUT}")
endif()
