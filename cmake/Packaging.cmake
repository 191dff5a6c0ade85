# Debian packages, one per install component, as Debian splits a library:
#   servo         (runtime) setServo, servod and its unit, servosim, servoplot,
#                 servo-sweep, the man pages
#   python3-servo (python)  the Python package servo, when it is built
#   libservo-dev  (dev)     headers, libservo.a, CMake and pkg-config files,
#                 the example source
# In a Release build configured with -DCMAKE_INSTALL_PREFIX=/usr:
#   cpack -G DEB            (scripts/package.sh also checks what it made)
# Included before GNUInstallDirs and the install rules, which use
# SERVO_DEV_DOCDIR; CPack itself is included after the last of them, as it
# packages the components seen.

# Debian's multiarch libdir (lib/aarch64-linux-gnu) for the /usr prefix in a
# cross build too; GNUInstallDirs picks it only for a native one.
if(CMAKE_CROSSCOMPILING AND CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND CMAKE_LIBRARY_ARCHITECTURE
   AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)

set(SERVO_DEB_RUNTIME_PACKAGE servo)
set(SERVO_DEB_DEV_PACKAGE libservo-dev)
set(SERVO_DEB_PYTHON_PACKAGE python3-servo)
set(SERVO_DEB_MAINTAINER "The servo rig authors <maintainers@users.noreply.c-seed-9e7d14cf.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(SERVO_DEV_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${SERVO_DEB_DEV_PACKAGE})
set(_servo_pkg ${PROJECT_SOURCE_DIR}/packaging)

# The Debian revision comes from the changelog, whose newest entry must be
# for this upstream version: a new version needs a new entry.
file(STRINGS ${_servo_pkg}/changelog _servo_top LIMIT_COUNT 1)
if(NOT _servo_top MATCHES "^servo \\(([^-)]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: cannot read the version from '${_servo_top}'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: newest entry is ${CMAKE_MATCH_1}, "
    "the project is ${PROJECT_VERSION}; add an entry")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_servo_pkg}/changelog)

# The architecture the binaries are for, not the build machine's (dpkg's
# default), so that a cross build makes armhf or arm64 packages.
if(NOT SERVO_DEB_ARCHITECTURE)
  find_program(SERVO_DPKG_ARCHITECTURE dpkg-architecture)
  mark_as_advanced(SERVO_DPKG_ARCHITECTURE)
  if(SERVO_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${SERVO_DPKG_ARCHITECTURE} -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
      OUTPUT_VARIABLE _servo_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(SERVO_DEB_ARCHITECTURE "${_servo_arch}" CACHE STRING
      "Debian architecture of the packages (from the compiler's multiarch tuple)")
endif()
if(SERVO_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SERVO_DEB_ARCHITECTURE})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Absolute destinations (/etc/default/servod) must land in the staging
# directory, never on the packaging machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME ${SERVO_DEB_RUNTIME_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SERVO_DEB_MAINTAINER}")
# Each package states its own summary; CPack would put this one before both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE servo)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Compresses man pages and changelogs in the staging tree, as dh_compress
# does; a plain cmake --install keeps them as they are.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackagingCompress.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${SERVO_DEB_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"commands for a servo driven through real-time FIFOs
The user-space side of a servo rig whose control pulses come from a
real-time pulse generator fed by 28-byte command records on /dev/rtf1.
 - setServo: send one position and exit;
 - servod: the real-time side as a daemon driving a kernel PWM channel
   (systemd unit servod.service, options in /etc/default/servod);
 - servosim: the real-time side simulated on named pipes, for use
   without the hardware;
 - servoplot: draw a servosim trace as an SVG picture;
 - servo-sweep: ramp a servo there and back, waiting for each done notice.
")
# /etc/default/servod is the administrator's; the scripts tell systemd.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${_servo_pkg}/servo/conffiles ${_servo_pkg}/servo/postinst
  ${_servo_pkg}/servo/prerm ${_servo_pkg}/servo/postrm)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${SERVO_DEB_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
"servo rig command library - development files
libservo turns servo positions into the rig's 28-byte command records,
writes them to its command FIFO and polls the status FIFO for the end
of a timed move, without printing, throwing or allocating.
.
This package holds the headers, the static library, the CMake package
(find_package(Servo), target Servo::servo), the pkg-config file servo.pc
and the source of servo-sweep as an example.
")
# servosim lets a program built on the library run without the rig.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS ${SERVO_DEB_RUNTIME_PACKAGE})

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${SERVO_DEB_PYTHON_PACKAGE})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"servo rig command library - Python 3 module
The Python package servo drives a servo of the rig: servo.Servo and
servo.BaseServo send positions and timed moves as the rig's 28-byte
command records and wait for the done notice. The records are made by
libservo itself, so Python and C++ programs send the same bytes.
Failures raise OSError with the device's path.
")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS ${SERVO_DEB_RUNTIME_PACKAGE})
# The module is built for one Python version; shlibdeps adds the C libraries.
if(SERVO_PYTHON_FOUND)
  string(REGEX REPLACE "^3\\.([0-9]+)$" "\\1" _servo_py_minor ${SERVO_PYTHON_VERSION})
  math(EXPR _servo_py_next "${_servo_py_minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${SERVO_PYTHON_VERSION}~), python3 (<< 3.${_servo_py_next})")
  set(_servo_packages runtime dev python)
else()
  set(_servo_packages runtime dev)
endif()

# Debian's own files of each package; a plain install leaves them out.
foreach(_servo_comp IN LISTS _servo_packages)
  string(TOUPPER ${_servo_comp} _servo_up)
  set(_servo_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_servo_up}_PACKAGE_NAME})
  install(FILES ${_servo_pkg}/copyright DESTINATION ${_servo_doc}
    COMPONENT ${_servo_comp} EXCLUDE_FROM_ALL)
  install(FILES ${_servo_pkg}/changelog DESTINATION ${_servo_doc} RENAME changelog.Debian
    COMPONENT ${_servo_comp} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${_servo_pkg}/servo/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${SERVO_DEB_RUNTIME_PACKAGE}
  COMPONENT runtime EXCLUDE_FROM_ALL)

# After the last install rule, so that CPack sees every component; a rule
# without one would make a package of its own.
macro(_servo_include_cpack)
  get_cmake_property(_servo_components COMPONENTS)
  list(REMOVE_ITEM _servo_components runtime dev python)
  if(_servo_components)
    message(FATAL_ERROR "install rules outside the runtime, dev and python components: ${_servo_components}")
  endif()
  include(CPack)
endmacro()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _servo_include_cpack)
