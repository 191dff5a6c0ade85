# Finds what the Python module needs: pybind11's headers, and Python's
# headers for the target. Sets SERVO_PYTHON_FOUND and, when found,
# SERVO_PYTHON_INCLUDE_DIRS, SERVO_PYTHON_SUFFIX and SERVO_PYTHON_VERSION.
#
# The interpreter is Debian's python3, not the first on PATH: a pyenv or
# virtualenv there must not decide what a Debian package installs. A cross
# build takes the version from it and the target's pyconfig.h from
# SERVO_PYTHON_ROOT (libpython3.X-dev of the target, installed or unpacked).
set(SERVO_PYTHON AUTO CACHE STRING
    "Build the Python module: AUTO (when pybind11 and Python's headers are found), ON or OFF")
set_property(CACHE SERVO_PYTHON PROPERTY STRINGS AUTO ON OFF)
if(EXISTS /usr/bin/python3)
  set(_servo_py_default /usr/bin/python3)
else()
  find_program(_servo_py_default python3)
endif()
set(SERVO_PYTHON_EXECUTABLE "${_servo_py_default}" CACHE FILEPATH
    "The python3 the module is built for (Debian's, whatever is first on PATH)")
set(SERVO_PYTHON_ROOT / CACHE PATH
    "Cross builds: the root under which the target's Python headers are (usr/include/TRIPLET/python3.X)")

set(SERVO_PYTHON_FOUND OFF)
function(_servo_python_missing why)
  if(SERVO_PYTHON STREQUAL "ON")
    message(FATAL_ERROR "SERVO_PYTHON=ON: ${why}")
  endif()
  message(STATUS "Python module: not built (${why})")
endfunction()

function(_servo_find_python)
  if(SERVO_PYTHON STREQUAL "OFF")
    return()
  endif()
  if((SERVO_SANITIZE OR SERVO_FUZZ) AND SERVO_PYTHON STREQUAL "AUTO")
    message(STATUS "Python module: not built in a sanitizer build")
    return()
  endif()
  if(NOT SERVO_PYTHON_EXECUTABLE OR NOT EXISTS "${SERVO_PYTHON_EXECUTABLE}")
    _servo_python_missing("no python3 (install python3-dev)")
    return()
  endif()
  execute_process(COMMAND ${SERVO_PYTHON_EXECUTABLE} -c
    "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
    OUTPUT_VARIABLE _out RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    _servo_python_missing("${SERVO_PYTHON_EXECUTABLE} does not run")
    return()
  endif()
  string(REPLACE "\n" ";" _out "${_out}")
  list(GET _out 0 _version)
  list(GET _out 1 _include)
  list(GET _out 2 _suffix)

  find_path(SERVO_PYBIND11_INCLUDE_DIR pybind11/pybind11.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT SERVO_PYBIND11_INCLUDE_DIR)
    _servo_python_missing("no pybind11 headers (install pybind11-dev)")
    return()
  endif()

  # Symlinks only, so that a cross build never sees the host's /usr/include.
  set(_shim ${PROJECT_BINARY_DIR}/python-include)
  file(REMOVE_RECURSE ${_shim})
  file(MAKE_DIRECTORY ${_shim})
  file(CREATE_LINK ${SERVO_PYBIND11_INCLUDE_DIR}/pybind11 ${_shim}/pybind11 SYMBOLIC)
  if(CMAKE_CROSSCOMPILING)
    set(_arch ${CMAKE_LIBRARY_ARCHITECTURE})
    set(_include ${SERVO_PYTHON_ROOT}/usr/include/python${_version})
    set(_pyconfig ${SERVO_PYTHON_ROOT}/usr/include/${_arch}/python${_version})
    if(NOT _arch OR NOT EXISTS ${_include}/Python.h OR NOT EXISTS ${_pyconfig}/pyconfig.h)
      _servo_python_missing("no Python ${_version} headers for ${_arch} under ${SERVO_PYTHON_ROOT} "
                            "(libpython${_version}-dev:ARCH; scripts/python-target.sh unpacks them)")
      return()
    endif()
    # Debian's pyconfig.h includes <TRIPLET/python3.X/pyconfig.h>.
    file(MAKE_DIRECTORY ${_shim}/${_arch})
    file(CREATE_LINK ${_pyconfig} ${_shim}/${_arch}/python${_version} SYMBOLIC)
    string(REPLACE "." "" _nodot ${_version})
    set(_suffix .cpython-${_nodot}-${_arch}.so)
  elseif(NOT EXISTS ${_include}/Python.h)
    _servo_python_missing("no Python.h in ${_include} (install python3-dev)")
    return()
  endif()

  set(SERVO_PYTHON_FOUND ON PARENT_SCOPE)
  set(SERVO_PYTHON_VERSION ${_version} PARENT_SCOPE)
  set(SERVO_PYTHON_SUFFIX ${_suffix} PARENT_SCOPE)
  set(SERVO_PYTHON_INCLUDE_DIRS ${_include} ${_shim} PARENT_SCOPE)
  message(STATUS "Python module: for Python ${_version} (${SERVO_PYTHON_EXECUTABLE}), as _servo${_suffix}")
endfunction()
_servo_find_python()
