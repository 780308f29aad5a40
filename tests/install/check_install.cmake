# Installs the built tree into a scratch prefix and checks the install by itself: exactly the expected
# files (the library named after the descriptor's version, krvhost, the user guide with the two notes it
# links and the examples; nothing of the tests), every file the installed guide refers to installed, and
# the installed krvhost running the installed example as the build tree's krvhost runs the source one
# (tests/integration pins that output). The prefix goes again either way.
#
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch dir> -DBINDIR=bin -DLIBDIR=lib -DDOCDIR=share/doc/korvaglue
#         -DEXAMPLES=<source examples> -DBUILT_KRVHOST=<build tree krvhost> -P check_install.cmake
cmake_minimum_required(VERSION 3.25)

function(fail text)
  file(REMOVE_RECURSE "${PREFIX}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command in the prefix; an exit other than 0 or any text on stderr fails the check.
function(run_checked out)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${PREFIX}" RESULT_VARIABLE status OUTPUT_VARIABLE stdout
                  ERROR_VARIABLE stderr)
  if(NOT status EQUAL 0 OR NOT stderr STREQUAL "")
    list(JOIN ARGN " " command)
    fail("${command}: exit ${status}\n${stderr}")
  endif()
  set(${out} "${stdout}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
file(MAKE_DIRECTORY "${PREFIX}")
run_checked(install_log "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")
set(krvhost "${PREFIX}/${BINDIR}/krvhost")
run_checked(version "${krvhost}" --version)
if(NOT version MATCHES "^module: [A-Z_]+ [0-9]+\\.([0-9]+)\\.([0-9]+)\n$")
  fail("krvhost --version printed \"${version}\"")
endif()

set(library "${LIBDIR}/libkorvaglue.so")
set(major_link "${library}.${CMAKE_MATCH_1}")
file(GLOB_RECURSE examples RELATIVE "${EXAMPLES}" "${EXAMPLES}/*")
list(TRANSFORM examples PREPEND "${DOCDIR}/examples/")
set(expected "${BINDIR}/krvhost" "${library}" "${major_link}" "${major_link}.${CMAKE_MATCH_2}"
    "${DOCDIR}/user-guide.md" "${DOCDIR}/script_encoding.md" "${DOCDIR}/kernel_language.md" ${examples})
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  list(JOIN installed "\n  " installed)
  list(JOIN expected "\n  " expected)
  fail("installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

# The installed guide sends its reader only to installed files: every document it links and every
# example it names is in the install, and a file of the source tree is named as such ("the source tree's
# `host/...`"), so nobody looks for it beside the guide.
file(READ "${PREFIX}/${DOCDIR}/user-guide.md" guide)
# (A link is matched from its parenthesis on: a bracket would keep CMake from splitting the list.)
string(REGEX MATCHALL "\\([a-z_]+\\.md\\)|`examples/[^` ]+`" references "${guide}")
foreach(reference IN LISTS references)
  string(REGEX REPLACE "^\\(|\\)$|`" "" path "${reference}")
  if(NOT EXISTS "${PREFIX}/${DOCDIR}/${path}")
    fail("the installed user guide refers to ${path}, which is not installed")
  endif()
endforeach()
string(REGEX MATCHALL "[^ \n]*[ \n]`(host|src|tests|bench|scripts)/[^`]*`" source_paths "${guide}")
foreach(reference IN LISTS source_paths)
  if(NOT reference MATCHES "^(tree's|`bash) ")
    fail("the installed user guide names a file of the source tree as if it were installed: ${reference}")
  endif()
endforeach()

run_checked(from_build "${BUILT_KRVHOST}" run "${EXAMPLES}/hello.krvasm")
run_checked(from_install "${krvhost}" run "${PREFIX}/${DOCDIR}/examples/hello.krvasm")
if(NOT from_install STREQUAL from_build)
  fail("the installed example printed\n${from_install}\nthe build tree's printed\n${from_build}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
