# The contributor scripts refuse a wrong argument before they install or build anything: every program
# they could start to do that (cmake, ctest, apt-get, sudo, dpkg-query) is replaced on PATH by a stub that
# leaves a mark, and each case must exit 2 with its message and leave no mark.
#
#   cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<scratch dir> -P check_scripts.cmake
cmake_minimum_required(VERSION 3.25)

set(stubs "${WORK_DIR}/stubs")
set(mark "${WORK_DIR}/started")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${stubs}")
foreach(program IN ITEMS cmake ctest apt-get sudo dpkg-query)
  file(WRITE "${stubs}/${program}" "#!/bin/sh\necho ${program} >> '${mark}'\nexit 1\n")
  file(CHMOD "${stubs}/${program}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()

# script | environment setting | what stderr must say
set(cases
    "scripts/fuzz bogus|KRV_UNUSED=1|unknown target bogus (one of: all from_binary"
    "scripts/test|KRV_TEST_JOBS=x|KRV_TEST_JOBS must be a whole number of at least 1, not 'x'"
    "scripts/test|KRV_TEST_JOBS=0|KRV_TEST_JOBS must be a whole number of at least 1, not '0'")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 command)
  list(GET fields 1 setting)
  list(GET fields 2 expected)
  separate_arguments(words UNIX_COMMAND "${command}")
  file(REMOVE "${mark}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PATH=${stubs}:$ENV{PATH}" "${setting}" bash ${words}
                  WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE status ERROR_VARIABLE stderr OUTPUT_QUIET)
  string(FIND "${stderr}" "${expected}" found)
  if(NOT status EQUAL 2 OR found EQUAL -1 OR EXISTS "${mark}")
    set(started "")
    if(EXISTS "${mark}")
      file(READ "${mark}" started)
    endif()
    message(FATAL_ERROR "${command} with ${setting}: exit ${status}, started: ${started}\nstderr: ${stderr}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
