# Helpers shared by every CMakeLists of the project.
#
# krv_module_library(NAME [AREA area] USES area... SOURCES ...) declares one OBJECT library of module code
# in a layer area (by default its folder under src/). Module libraries are linked in the order they are
# declared: static registrars run in that order, so declaration order is part of the module's behaviour
# (see docs/architecture.md).
#
# krv_layer(AREA DIR folder USES area...) declares a layer area without a library of its own (headers
# only, or the host). Every area names the areas it includes from directly; it may include from itself
# and from every area those reach. An area may use only areas declared before it, so the declaration
# order, which is the link order, is a layer order and no cycle of areas can form.
# krv_layer_exception(FILE path INCLUDE header REASON text) names one include that goes against the
# layers on purpose. krv_write_layers(FILE) writes all of it for cmake/check_layers.cmake, which a ctest
# runs over the sources.
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

function(krv_layer area)
  cmake_parse_arguments(ARG "" "DIR" "USES" ${ARGN})
  string(MAKE_C_IDENTIFIER "${area}" id)
  get_property(declared GLOBAL PROPERTY KRV_LAYER_AREAS)
  foreach(used IN LISTS ARG_USES)
    if(NOT used IN_LIST declared)
      message(FATAL_ERROR "layer area ${area} uses ${used}, which is not declared before it")
    endif()
  endforeach()
  if(NOT area IN_LIST declared)
    set_property(GLOBAL APPEND PROPERTY KRV_LAYER_AREAS ${area})
    set_property(GLOBAL PROPERTY KRV_LAYER_DIR_${id} ${ARG_DIR})
  endif()
  set_property(GLOBAL APPEND PROPERTY KRV_LAYER_USES_${id} ${ARG_USES})
endfunction()

function(krv_layer_exception)
  cmake_parse_arguments(ARG "" "FILE;INCLUDE;REASON" "" ${ARGN})
  if(NOT ARG_REASON)
    message(FATAL_ERROR "layer exception ${ARG_FILE} -> ${ARG_INCLUDE} needs a reason")
  endif()
  set_property(GLOBAL APPEND PROPERTY KRV_LAYER_EXCEPTIONS "${ARG_FILE}|${ARG_INCLUDE}")
endfunction()

# Writes the areas in declaration order, each with every area it may include from (its USES lists
# followed to the end), and the named exceptions.
function(krv_write_layers file)
  get_property(areas GLOBAL PROPERTY KRV_LAYER_AREAS)
  get_property(exceptions GLOBAL PROPERTY KRV_LAYER_EXCEPTIONS)
  set(text "set(KRV_AREAS \"${areas}\")\nset(KRV_EXCEPTIONS \"${exceptions}\")\n")
  foreach(area IN LISTS areas)
    string(MAKE_C_IDENTIFIER "${area}" id)
    get_property(dir GLOBAL PROPERTY KRV_LAYER_DIR_${id})
    get_property(uses GLOBAL PROPERTY KRV_LAYER_USES_${id})
    # Areas are declared after what they use, so the reach of each used area is already complete.
    set(reach ${uses})
    foreach(used IN LISTS uses)
      string(MAKE_C_IDENTIFIER "${used}" used_id)
      list(APPEND reach ${reach_${used_id}})
    endforeach()
    list(REMOVE_DUPLICATES reach)
    set(reach_${id} ${reach})
    string(APPEND text "set(KRV_DIR_${id} \"${dir}\")\nset(KRV_REACH_${id} \"${reach}\")\n")
  endforeach()
  file(WRITE ${file} "${text}")
endfunction()

function(krv_module_library name)
  cmake_parse_arguments(ARG "" "AREA" "SOURCES;USES" ${ARGN})
  if(NOT ARG_AREA)
    file(RELATIVE_PATH ARG_AREA ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  krv_layer(${ARG_AREA} DIR src/${ARG_AREA} USES ${ARG_USES})
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
