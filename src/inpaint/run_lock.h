// One inpaint at a time per process: the fill methods keep process-wide
// state (the CUDA constant window, device variables) and the file entry
// uses the process-wide working image and mask buffer. Every entry point
// holds this lock for the whole of its run.
//
// A child process forked while another thread holds the lock gets a fresh,
// unlocked one: the holder does not exist in the child and would never
// release it.
#pragma once

#include <mutex>

namespace pw {

std::mutex& InpaintRunMutex();

}  // namespace pw
