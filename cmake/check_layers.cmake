# Checks that every quoted include of the module and the host points into the includer's own layer area
# or an area it may use (cmake -P; the layer table comes from krv_write_layers).
#
#   cmake -DLAYERS=<build>/layers.cmake -DSOURCE_DIR=<project root> [-DPLANT=file -DPLANT_AREA=area]
#         -P cmake/check_layers.cmake
#
# Every C and C++ source and header of an area is read, whatever its extension (.c, .cc, .cpp, .h, .hpp,
# .inc, ...). An include names a file under src/ or, for the host, under the project root; one that
# names neither fails the check, so that every include is accounted for. A file belongs to the area whose folder is the
# longest prefix of its path. Named exceptions pass but are counted, and an exception that no longer
# matches an include fails the check, so the list cannot go stale. PLANT checks one more file as if it
# lay in PLANT_AREA (the check's own test plants an upward include that way).
cmake_minimum_required(VERSION 3.25)
include(${LAYERS})

# The area whose folder holds `path` (relative to the project root), or "" for none.
function(area_of path out)
  set(best "")
  set(best_length 0)
  foreach(area IN LISTS KRV_AREAS)
    string(MAKE_C_IDENTIFIER "${area}" id)
    set(dir "${KRV_DIR_${id}}/")
    string(LENGTH "${dir}" length)
    string(FIND "${path}" "${dir}" at)
    if(at EQUAL 0 AND length GREATER best_length)
      set(best "${area}")
      set(best_length ${length})
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

# The project-relative path of a quoted include, or "" when it names no file of src/ or the root.
function(resolve_include include out)
  if(EXISTS "${SOURCE_DIR}/src/${include}")
    set(${out} "src/${include}" PARENT_SCOPE)
  elseif(EXISTS "${SOURCE_DIR}/${include}")
    set(${out} "${include}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# Every kind of C and C++ source and header a file may be; all are read, so that no include hides in a
# file of a kind the tree does not use yet.
set(source_extensions c cc cpp cxx c++ h hh hpp hxx h++ inc ipp tpp)

set(file_areas "")
foreach(area IN LISTS KRV_AREAS)
  string(MAKE_C_IDENTIFIER "${area}" id)
  set(patterns "")
  foreach(extension IN LISTS source_extensions)
    list(APPEND patterns "${SOURCE_DIR}/${KRV_DIR_${id}}/*.${extension}")
  endforeach()
  file(GLOB_RECURSE area_files RELATIVE "${SOURCE_DIR}" ${patterns})
  foreach(path IN LISTS area_files)
    area_of("${path}" owner)
    if(owner STREQUAL area)
      list(APPEND file_areas "${path}|${area}")
    endif()
  endforeach()
endforeach()
if(PLANT)
  list(APPEND file_areas "${PLANT}|${PLANT_AREA}")
endif()

set(failures 0)
set(crossing 0)
set(named 0)
set(used_exceptions "")
foreach(entry IN LISTS file_areas)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 path)
  list(GET parts 1 owner)
  string(MAKE_C_IDENTIFIER "${owner}" owner_id)
  file(STRINGS "${SOURCE_DIR}/${path}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" include "${line}")
    resolve_include("${include}" target)
    if(target STREQUAL "")
      message("${path}: \"${include}\" names no file under src/ or the project root")
      math(EXPR failures "${failures} + 1")
      continue()
    endif()
    area_of("${target}" target_area)
    if(target_area STREQUAL owner)
      continue()
    endif()
    math(EXPR crossing "${crossing} + 1")
    if(target_area IN_LIST KRV_REACH_${owner_id})
      continue()
    endif()
    if("${path}|${include}" IN_LIST KRV_EXCEPTIONS)
      math(EXPR named "${named} + 1")
      list(APPEND used_exceptions "${path}|${include}")
      continue()
    endif()
    if(target_area STREQUAL "")
      set(target_area "no area")
    endif()
    message("${path}: ${owner} may not include ${include} (${target_area})")
    math(EXPR failures "${failures} + 1")
  endforeach()
endforeach()

foreach(exception IN LISTS KRV_EXCEPTIONS)
  if(NOT exception IN_LIST used_exceptions)
    message("named exception ${exception} matches no include any more")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

list(LENGTH file_areas file_count)
message("layer check: ${file_count} files, ${crossing} includes between areas, ${named} upward by named "
        "exception, ${failures} failures")
if(failures GREATER 0)
  message(FATAL_ERROR "layer check failed")
endif()
