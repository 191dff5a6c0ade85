# Run by cpack on the staging tree before it makes the packages: compresses
# the man pages and changelogs as Debian ships them (gzip -9n: no name or
# time stamp inside, so the same file on every build and architecture).
find_program(SERVO_GZIP gzip REQUIRED)
file(GLOB_RECURSE _servo_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_servo_file IN LISTS _servo_files)
  if(_servo_file MATCHES "/usr/share/man/man[1-9]/[^/]+\\.[1-9]$"
     OR _servo_file MATCHES "/usr/share/doc/[^/]+/changelog(\\.Debian)?$")
    execute_process(COMMAND ${SERVO_GZIP} -9nf ${_servo_file} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
