# Installs the built tree into a scratch prefix and checks the install by itself: exactly the expected
# files (the library named after the descriptor's version, krvhost, the exports' header, the user guide
# with the two notes it links and the examples; nothing of the tests), every file the installed documents
# refer to installed, the header compiling on its own as C and as C++, the guide's own host built against
# the installed header and checking the installed library, and the installed krvhost running the installed
# example as the build tree's krvhost runs the source one (tests/integration pins that output). The prefix
# goes again either way.
#
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch dir> -DBINDIR=bin -DLIBDIR=lib -DINCLUDEDIR=include
#         -DDOCDIR=share/doc/korvaglue -DEXAMPLES=<source examples> -DBUILT_KRVHOST=<build tree krvhost>
#         -DCC=<C compiler> -DCXX=<C++ compiler> [-DHOST_LINK_OPTIONS="<the build's link options>"]
#         -P check_install.cmake
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
set(header "${INCLUDEDIR}/korvaglue/module_descriptor.h")
set(expected "${BINDIR}/krvhost" "${library}" "${major_link}" "${major_link}.${CMAKE_MATCH_2}" "${header}"
    "${DOCDIR}/user-guide.md" "${DOCDIR}/script_encoding.md" "${DOCDIR}/kernel_language.md" ${examples})
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  list(JOIN installed "\n  " installed)
  list(JOIN expected "\n  " expected)
  fail("installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

# The installed documents send their reader only to installed files: every document they name and every
# example they name is in the install, and a file of the source tree is named as such ("the source tree's
# `host/...`"), so nobody looks for it beside them.
foreach(document IN ITEMS user-guide.md script_encoding.md kernel_language.md)
  file(READ "${PREFIX}/${DOCDIR}/${document}" text)
  string(REGEX MATCHALL "[a-z_/-]+\\.md|`examples/[^` ]+`" references "${text}")
  foreach(reference IN LISTS references)
    string(REPLACE "`" "" path "${reference}")
    if(NOT EXISTS "${PREFIX}/${DOCDIR}/${path}")
      fail("the installed ${document} refers to ${path}, which is not installed")
    endif()
  endforeach()
  string(REGEX MATCHALL "[^ \n]*[ \n(]`(host|src|tests|bench|scripts|cmake|docs)/[^`]*`" source_paths "${text}")
  foreach(reference IN LISTS source_paths)
    if(NOT reference MATCHES "^(tree's|`bash) ")
      fail("the installed ${document} names a file of the source tree as if it were installed: ${reference}")
    endif()
  endforeach()
endforeach()

# The header stands alone in either language, and the guide's host, built against it alone, checks the
# installed library and prints its descriptor as krvhost --version does.
set(work "${PREFIX}/header_check")
file(WRITE "${work}/alone.c" "#include <korvaglue/module_descriptor.h>\n")
file(WRITE "${work}/alone.cpp" "#include <korvaglue/module_descriptor.h>\n")
set(flags -Wall -Wextra -Werror "-I${PREFIX}/${INCLUDEDIR}")
run_checked(unused "${CC}" -std=c11 ${flags} -fsyntax-only "${work}/alone.c")
run_checked(unused "${CXX}" -std=c++20 ${flags} -fsyntax-only "${work}/alone.cpp")
file(READ "${PREFIX}/${DOCDIR}/user-guide.md" guide)
string(FIND "${guide}" "\n```c\n" host_start)
if(host_start EQUAL -1)
  fail("the installed user guide shows no host in C")
endif()
math(EXPR host_start "${host_start} + 6")
string(SUBSTRING "${guide}" ${host_start} -1 host_source)
string(FIND "${host_source}" "\n```\n" host_end)
string(SUBSTRING "${host_source}" 0 ${host_end} host_source)
file(WRITE "${work}/host.c" "${host_source}\n")
separate_arguments(host_link_options UNIX_COMMAND "${HOST_LINK_OPTIONS}")
run_checked(unused "${CC}" -std=c11 ${flags} "${work}/host.c" -o "${work}/host" ${host_link_options} -ldl)
run_checked(from_own_host "${work}/host" "${PREFIX}/${major_link}")
if(NOT from_own_host STREQUAL version)
  fail("the guide's host printed \"${from_own_host}\" where krvhost --version printed \"${version}\"")
endif()

run_checked(from_build "${BUILT_KRVHOST}" run "${EXAMPLES}/hello.krvasm")
run_checked(from_install "${krvhost}" run "${PREFIX}/${DOCDIR}/examples/hello.krvasm")
if(NOT from_install STREQUAL from_build)
  fail("the installed example printed\n${from_install}\nthe build tree's printed\n${from_build}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
