# The kernel module list's function. Each ovik_kernel_module line in
# cuda/CMakeLists.txt is one module, and everything that repeats a module is
# made from it: the host copy (generated from cuda/host_copy.*.in), the
# module's stand-in and nvcc libraries, the table of modules
# (kernel_modules.inc, read by cuda/modules.cpp), the per-module test
# suites, the ptxas check and the PTX builds (tests/), and gpu-modules.txt
# in the build directory, which scripts/gpu-bundle and the bundle read.
#
#   ovik_kernel_module(NAME NAMESPACE ns ARCHS arch... THREADS n [THREADS_CC120 n]
#                      [FOLDED] [SINGLE_STREAM])
#
# NAMESPACE: the namespace of the module's host copy; "outer::inner" is the
# inline namespace inner of outer. ARCHS: the CUDA architectures its nvcc
# build carries (machine code "-real", PTX "-virtual"). THREADS: the launch
# bound of its mining kernels, and THREADS_CC120 that bound on compute
# capability 12.0 (default THREADS). FOLDED: it carries the folded constant
# tables. SINGLE_STREAM: its host copy keeps the one-stream record
# (qtc_host::OneStream) and the smaller flat interface. The order of the
# lines is the order of qtc_module's numbers.

set(OVIK_KERNEL_MODULE_DIR ${CMAKE_CURRENT_BINARY_DIR}/modules)

function(ovik_kernel_module name)
  cmake_parse_arguments(ARG "FOLDED;SINGLE_STREAM" "NAMESPACE;THREADS;THREADS_CC120" "ARCHS" ${ARGN})
  if(NOT ARG_NAMESPACE OR NOT ARG_THREADS OR NOT ARG_ARCHS OR ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ovik_kernel_module(${name}): NAMESPACE, THREADS and ARCHS are needed (${ARG_UNPARSED_ARGUMENTS})")
  endif()
  if(NOT ARG_THREADS_CC120)
    set(ARG_THREADS_CC120 ${ARG_THREADS})
  endif()

  # The compute capabilities with machine code, and every one built for.
  set(machine_ccs "")
  set(ccs "")
  foreach(arch IN LISTS ARG_ARCHS)
    string(REGEX REPLACE "-(real|virtual)$" "" cc "${arch}")
    list(APPEND ccs ${cc})
    if(arch MATCHES "-real$")
      list(APPEND machine_ccs ${cc})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES ccs)
  set(lowest_cc "")
  foreach(cc IN LISTS machine_ccs)
    if(lowest_cc STREQUAL "" OR cc LESS lowest_cc)
      set(lowest_cc ${cc})
    endif()
  endforeach()

  if(ARG_SINGLE_STREAM)
    set(context qtc_ctx_single_stream)
    set(layer SINGLE_STREAM_HOST_LAYER)
    set(times nullptr)
  else()
    set(context qtc_ctx)
    set(layer HOST_LAYER)
    set(times "QTC_MODULE_TIMES(${ARG_NAMESPACE}, qtc_ctx)")
  endif()
  ovik_write_host_copy(${name} ${ARG_NAMESPACE} ${layer})

  set(dir ${OVIK_KERNEL_MODULE_DIR})
  # The module's kernels and its host copy, on the stand-in.
  add_library(ovik_${name}_sim STATIC ${dir}/${name}_kernels_sim.cpp)
  target_include_directories(ovik_${name}_sim PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(ovik_${name}_sim PUBLIC ovik_sim ovik_kernel_tables)
  add_library(ovik_${name}_layer_sim STATIC ${dir}/${name}_host_layer_sim.cpp)
  target_include_directories(ovik_${name}_layer_sim PUBLIC ${dir})
  target_link_libraries(ovik_${name}_layer_sim PUBLIC ovik_cuda_common_sim ovik_${name}_sim)

  # With nvcc: the host copy with the kernels, machine code and PTX as the
  # architectures say.
  if(OVIK_HAVE_CUDA)
    set(target ovik_${name}_layer_cuda)
    add_library(${target} STATIC ${dir}/${name}_host_layer.cu)
    target_include_directories(${target} PUBLIC ${dir})
    target_link_libraries(${target} PUBLIC ovik_cuda_common_cuda PRIVATE ovik_kernel_tables)
    set_target_properties(${target} PROPERTIES CUDA_ARCHITECTURES "${ARG_ARCHS}" CUDA_STANDARD 17
                          INTERPROCEDURAL_OPTIMIZATION OFF)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:--ptxas-options=${OVIK_KERNEL_PTXAS_OPTIONS}>)
    if(OVIK_CUDA_COMPRESS_FOR_SIZE)
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:--compress-mode=size>)
    endif()
  endif()

  set_property(GLOBAL APPEND PROPERTY OVIK_KERNEL_MODULES ${name})
  foreach(key IN ITEMS context times machine_ccs ccs lowest_cc)
    string(TOUPPER ${key} property)
    set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_${property} "${${key}}")
  endforeach()
  set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_NAMESPACE "${ARG_NAMESPACE}")
  set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_THREADS ${ARG_THREADS})
  set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_THREADS_CC120 ${ARG_THREADS_CC120})
  set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_FOLDED ${ARG_FOLDED})
  set_property(GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_SINGLE_STREAM ${ARG_SINGLE_STREAM})
endfunction()

# ovik_kernel_module_get(NAME KEY VARIABLE): one fact of a listed module
# (NAMESPACE, CONTEXT, TIMES, THREADS, THREADS_CC120, FOLDED, SINGLE_STREAM,
# MACHINE_CCS, CCS, LOWEST_CC).
function(ovik_kernel_module_get name key variable)
  get_property(value GLOBAL PROPERTY OVIK_KERNEL_MODULE_${name}_${key})
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

# The module's host copy, its stand-in builds and its header, written only
# when they change.
function(ovik_write_host_copy name namespace layer)
  string(REPLACE "::" ";" parts "${namespace}")
  list(GET parts 0 outer)
  set(NAMESPACE_OPEN "namespace ${outer} {")
  set(NAMESPACE_CLOSE "}  // namespace ${outer}")
  list(LENGTH parts depth)
  if(depth EQUAL 2)
    list(GET parts 1 inner)
    string(APPEND NAMESPACE_OPEN "\ninline namespace ${inner} {")
    set(NAMESPACE_CLOSE "}  // namespace ${inner}\n${NAMESPACE_CLOSE}")
  endif()
  set(MODULE ${name})
  set(NAMESPACE ${namespace})
  set(DECLARE_LAYER QTC_DECLARE_${layer})
  set(DEFINE_LAYER QTC_DEFINE_${layer})
  set(dir ${OVIK_KERNEL_MODULE_DIR})
  configure_file(${PROJECT_SOURCE_DIR}/cuda/host_copy.hpp.in ${dir}/${name}_host_layer.hpp @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cuda/host_copy.cu.in ${dir}/${name}_host_layer.cu @ONLY)
  file(CONFIGURE OUTPUT ${dir}/${name}_host_layer_sim.cpp
       CONTENT "// Generated by ovik_kernel_module: the ${name} host copy on the CPU stand-in.\n#include \"${name}_host_layer.cu\"\n")
  file(CONFIGURE OUTPUT ${dir}/${name}_kernels_sim.cpp
       CONTENT "// Generated by ovik_kernel_module: the ${name} kernels built as C++ against the CPU stand-in.\n#include \"cuda/${name}/kernels.cu\"\n")
endfunction()

# After the list: the table of modules over the stand-in and, with nvcc, over
# the real modules, and gpu-modules.txt ("name lowest-cc" a line, the lowest
# compute capability a module has machine code for; a newer device runs its
# PTX).
function(ovik_kernel_module_table)
  get_property(modules GLOBAL PROPERTY OVIK_KERNEL_MODULES)
  set(headers "")
  set(entries "")
  set(gpu_list "")
  set(layers_sim "")
  set(layers_cuda "")
  foreach(name IN LISTS modules)
    ovik_kernel_module_get(${name} NAMESPACE namespace)
    ovik_kernel_module_get(${name} CONTEXT context)
    ovik_kernel_module_get(${name} TIMES times)
    ovik_kernel_module_get(${name} LOWEST_CC lowest_cc)
    string(APPEND headers "#include \"${name}_host_layer.hpp\"\n")
    string(APPEND entries "QTC_KERNEL_MODULE(${name}, ${namespace}, ${context}, ${times})\n")
    string(APPEND gpu_list "${name} ${lowest_cc}\n")
    list(APPEND layers_sim ovik_${name}_layer_sim)
    list(APPEND layers_cuda ovik_${name}_layer_cuda)
  endforeach()
  set(dir ${OVIK_KERNEL_MODULE_DIR})
  set(banner "// Generated by ovik_kernel_module_table from the module list in cuda/CMakeLists.txt.\n")
  file(CONFIGURE OUTPUT ${dir}/kernel_module_headers.inc CONTENT "${banner}${headers}")
  file(CONFIGURE OUTPUT ${dir}/kernel_modules.inc
       CONTENT "${banner}// QTC_KERNEL_MODULE(name, namespace, context record, kernel_times entry or nullptr)\n${entries}")
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/gpu-modules.txt CONTENT "${gpu_list}")

  add_library(ovik_modules_sim STATIC ${PROJECT_SOURCE_DIR}/cuda/modules.cpp)
  target_include_directories(ovik_modules_sim PRIVATE ${dir})
  target_link_libraries(ovik_modules_sim PUBLIC ${layers_sim})
  if(OVIK_HAVE_CUDA)
    add_library(ovik_modules_cuda STATIC ${PROJECT_SOURCE_DIR}/cuda/modules_cuda.cu)
    target_include_directories(ovik_modules_cuda PRIVATE ${dir})
    target_link_libraries(ovik_modules_cuda PUBLIC ${layers_cuda})
    set_target_properties(ovik_modules_cuda PROPERTIES CUDA_STANDARD 17 CUDA_ARCHITECTURES 90-virtual
                          INTERPROCEDURAL_OPTIMIZATION OFF)
  endif()
endfunction()
