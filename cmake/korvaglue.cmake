# Helpers shared by every CMakeLists of the project.
#
# krv_module_library(NAME SOURCES ...) declares one OBJECT library of module code. Module libraries are
# linked in the order they are declared: static registrars run in that order, so declaration order is
# part of the module's behaviour (see docs/architecture.md).
#
# krv_add_test(NAME SOURCES ... [LABELS ...] [LIBS ...]) declares a GoogleTest executable that links the
# module objects directly, so one copy of every module static exists in the test process. Test discovery
# cannot carry a list of labels through to ctest, so a binary's tests get one label: concurrency when
# listed (the ThreadSanitizer run selects it), else the first one given, else unit.

set(KRV_WARNINGS -Wall -Wextra)

# What compiling against module headers needs (include root, libraries), without any module objects.
add_library(korvaglue_headers INTERFACE)
target_include_directories(korvaglue_headers INTERFACE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(korvaglue_headers INTERFACE PkgConfig::XXHASH nlohmann_json::nlohmann_json Threads::Threads
  ${CMAKE_DL_LIBS})

function(krv_module_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(${name} OBJECT ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${KRV_WARNINGS})
  target_link_libraries(${name} PUBLIC korvaglue_headers)
  set_property(GLOBAL APPEND PROPERTY KRV_MODULE_LIBRARIES ${name})
endfunction()

function(krv_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LABELS;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${KRV_WARNINGS})
  target_link_libraries(${name} PRIVATE korvaglue_objects ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(label unit)
  if("concurrency" IN_LIST ARG_LABELS)
    set(label concurrency)
  elseif(ARG_LABELS)
    list(GET ARG_LABELS 0 label)
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
  if(label STREQUAL "concurrency")
    add_dependencies(krv_concurrency_tests ${name})
  endif()
endfunction()
