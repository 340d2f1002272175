# Compiles one kernel module with its real build command, as
# compile_commands.json records it, once more with nvcc keeping its
# intermediate files and listing the steps it runs; fails unless, for every
# compute capability the module is built for, the PTX the tests run is byte
# for byte the PTX that command handed to ptxas (machine code) and to
# fatbinary (the embedded PTX).
#
# cmake -DCOMPILE_COMMANDS=compile_commands.json -DSOURCE=the module's .cu
#       -DARCHITECTURES="80 90 …" -DPTX_<cc>=the test PTX of each
#       -DWORK_DIR=scratch directory -P ptx_same_as_fat_binary.cmake

cmake_minimum_required(VERSION 3.25)

file(READ "${COMPILE_COMMANDS}" commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(command "")
foreach(i RANGE ${last})
  string(JSON file GET "${commands}" ${i} file)
  if(file STREQUAL SOURCE)
    string(JSON command GET "${commands}" ${i} command)
    string(JSON directory GET "${commands}" ${i} directory)
    break()
  endif()
endforeach()
if(command STREQUAL "")
  message(FATAL_ERROR "${SOURCE} has no compile command in ${COMPILE_COMMANDS}")
endif()

# The same command, its object written aside.
separate_arguments(arguments UNIX_COMMAND "${command}")
list(FIND arguments "-o" output)
if(output LESS 0)
  message(FATAL_ERROR "no -o in the compile command: ${command}")
endif()
list(REMOVE_AT arguments ${output})
list(REMOVE_AT arguments ${output})
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
list(APPEND arguments --keep --keep-dir "${WORK_DIR}" --verbose -o "${WORK_DIR}/module.o")
execute_process(COMMAND ${arguments} WORKING_DIRECTORY "${directory}" RESULT_VARIABLE result OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the module's compile command failed:\n${out}${err}")
endif()

# The steps: "#$ ptxas -arch=sm_80 … "….ptx" -o …", and fatbinary's
# "--image3=kind=ptx,sm=90,file=….ptx".
string(REPLACE ";" "\\;" log "${out}${err}")
string(REPLACE "\n" ";" lines "${log}")
set(built "")
foreach(line IN LISTS lines)
  if(line MATCHES "^#\\$ ptxas .*-arch=sm_([0-9]+).* \"([^\"]+\\.ptx)\"")
    set(compiled_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    list(APPEND built ${CMAKE_MATCH_1})
  elseif(line MATCHES "^#\\$ fatbinary")
    string(REGEX MATCHALL "--image3=kind=ptx,sm=[0-9]+,file=[^\" ]+" images "${line}")
    foreach(image IN LISTS images)
      string(REGEX MATCH "sm=([0-9]+),file=(.*)" ignored "${image}")
      set(embedded_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
      list(APPEND built ${CMAKE_MATCH_1})
    endforeach()
  endif()
endforeach()

string(REPLACE " " ";" tested "${ARCHITECTURES}")
list(REMOVE_DUPLICATES built)
foreach(cc IN LISTS built)
  if(NOT cc IN_LIST tested)
    message(FATAL_ERROR "the build makes code for sm_${cc}, which no test PTX covers")
  endif()
endforeach()
foreach(cc IN LISTS tested)
  set(kept "")
  set(uses "")
  if(DEFINED compiled_${cc})
    set(kept "${compiled_${cc}}")
    list(APPEND uses "ptxas compiled into sm_${cc} machine code")
  endif()
  if(DEFINED embedded_${cc})
    if(kept AND NOT kept STREQUAL embedded_${cc})
      message(FATAL_ERROR "ptxas and fatbinary took different PTX for sm_${cc}")
    endif()
    set(kept "${embedded_${cc}}")
    list(APPEND uses "the fat binary carries")
  endif()
  if(kept STREQUAL "")
    message(FATAL_ERROR "the build makes nothing for sm_${cc}:\n${out}${err}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${PTX_${cc}}" "${kept}" RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "sm_${cc}: the test PTX ${PTX_${cc}} differs from ${kept}, the PTX the build used")
  endif()
  string(REPLACE ";" " and " uses "${uses}")
  message(STATUS "sm_${cc}: the test PTX is the PTX ${uses}")
endforeach()
