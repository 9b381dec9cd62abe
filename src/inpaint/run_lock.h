// One inpaint at a time per process: the fill methods keep process-wide
// state (the CUDA constant window, device variables) and the package's
// figures of the last run belong to one run. Every entry point holds this
// lock for the whole of its run.
//
// A child process forked while another thread holds the lock gets a fresh,
// unlocked one: the holder does not exist in the child and would never
// release it.
#pragma once

#include <mutex>

namespace pw {

std::mutex& InpaintRunMutex();

}  // namespace pw
