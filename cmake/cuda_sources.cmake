# The CUDA backend's sources, listed once: nvcc builds them for the real
# backend (cuda_backend.cmake), the host compiler for the emulated device of
# the tests (cuda_emulation/). A new kernel file goes here and runs in both.
set(PW_CUDA_SOURCES
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/cuda_common.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/cuda_copy.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/inpaint_kernels.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/fast_kernels.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/device_loop.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/exhaustive_loop.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/fast_loop.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/cuda_engine.cu
  ${PROJECT_SOURCE_DIR}/src/fill/cuda/cuda_fast_engine.cu
)
