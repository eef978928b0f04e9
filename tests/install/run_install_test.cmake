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

# The C++ example of the README, its text as it stands there: the first
# cmake, cpp, sh and text blocks of its section.
file(READ ${README} readme)
string(FIND "${readme}" "\n## Using the library from C++" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README: no section on C++")
endif()
math(EXPR at "${at} + 1")
string(SUBSTRING "${readme}" ${at} -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)
function(readme_block lang out)
  string(FIND "${section}" "```${lang}\n" from)
  if(from EQUAL -1)
    message(FATAL_ERROR "README: no ${lang} block in the C++ section")
  endif()
  string(LENGTH "```${lang}\n" skip)
  math(EXPR from "${from} + ${skip}")
  string(SUBSTRING "${section}" ${from} -1 rest)
  string(FIND "${rest}" "```" stop)
  string(SUBSTRING "${rest}" 0 ${stop} text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
readme_block(cmake cmake_text)
readme_block(cpp cpp_text)
readme_block(sh sh_text)
readme_block(text want)
set(EXAMPLE ${WORK_DIR}/example)
file(WRITE ${EXAMPLE}/CMakeLists.txt "${cmake_text}")
file(WRITE ${EXAMPLE}/example.cpp "${cpp_text}")

# Runs the example in a folder of its own and compares what it prints with
# the README's text, where the folder is "…".
function(run_example program folder)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${program} WORKING_DIRECTORY ${folder} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE "${folder}" "…" out "${out}")
  if(NOT rc EQUAL 0 OR NOT out STREQUAL want)
    message(FATAL_ERROR "${program} (${rc}) printed\n${out}${err}\ninstead of\n${want}")
  endif()
endfunction()

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${EXAMPLE} -B ${EXAMPLE}/cmake -G Ninja
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${EXAMPLE}/cmake)
run_example(${EXAMPLE}/cmake/example ${EXAMPLE}/run-cmake)

# Through pkg-config: the README's commands, with the prefix and compiler of
# this build.
string(REPLACE "=P/" "=${PREFIX}/" sh_text "${sh_text}")
string(REGEX REPLACE "(^|\n)c\\+\\+ " "\\1${CXX} " sh_text "${sh_text}")
execute_process(COMMAND sh -e -c "${sh_text}" WORKING_DIRECTORY ${EXAMPLE} RESULT_VARIABLE rc
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config build failed (${rc}):\n${sh_text}\n${err}")
endif()
run_example(${EXAMPLE}/example ${EXAMPLE}/run-pc)

# The installed host runs from the moved tree too.
run(${PREFIX}/bin/kexio --version)

# The Python module, when it was built, imports from the moved tree and finds
# the library and its colormaps there.
file(GLOB python_module ${BUILD_DIR}/python/kexio/_kexio*.so)
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
