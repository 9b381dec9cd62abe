# The CUDA backend: kernels for compute capability 7.5 to 12.0 as real code,
# plus PTX of the newest for later devices, with the CUDA runtime linked
# statically so that the module needs no CUDA library at run time and finds
# the driver only when it is there.
if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
  set(CMAKE_CUDA_ARCHITECTURES 75-real 80-real 86-real 89-real 90-real 100-real 120)
endif()
enable_language(CUDA)
set(CMAKE_CUDA_STANDARD 17)
set(CMAKE_CUDA_STANDARD_REQUIRED ON)
find_package(CUDAToolkit REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/cuda_sources.cmake)
add_library(patchwell_cuda STATIC ${PW_CUDA_SOURCES})
set_target_properties(patchwell_cuda PROPERTIES
  CUDA_RUNTIME_LIBRARY Static
  POSITION_INDEPENDENT_CODE ON)
target_include_directories(patchwell_cuda PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(patchwell_cuda PRIVATE
  $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra --Werror=all-warnings>)
# Below the engine factory (patchwell_backend), above the CPU side it
# shares: the device rules, the schedule, the console.
target_link_libraries(patchwell_cuda PUBLIC patchwell_fill CUDA::cudart_static Threads::Threads)

# The probe names the compute capabilities the build carries kernels for.
list(JOIN CMAKE_CUDA_ARCHITECTURES " " PW_CUDA_ARCHITECTURE_LIST)
target_compile_definitions(patchwell_cuda PRIVATE
  PW_CUDA_ARCHITECTURES="${PW_CUDA_ARCHITECTURE_LIST}")
