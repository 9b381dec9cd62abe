// One inpaint at a time per process: the fill methods keep process-wide
// state (the CUDA constant window, device variables) and the file entry
// uses the process-wide working image and mask buffer. Every entry point
// holds this lock for the whole of its run.
#pragma once

#include <mutex>

namespace pw {

std::mutex& InpaintRunMutex();

}  // namespace pw
