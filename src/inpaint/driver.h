// InpaintImage: fills every noise pixel of one image, in place.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "fill/engine.h"
#include "inpaint/context.h"

namespace pw {

// What a run did, for benchmarks and tests.
struct RunStats {
  Backend backend = Backend::Cpu;  // where the fill ran
  // Pixels the mask marked at the start, and of those the ones processed:
  // all but those a stop left untried, in the fill order or in a sweep
  // (GPU Fast takes the targets left without a source again after the
  // order, sweep after sweep while one fills any).
  int32_t targets = 0;
  int32_t holes = 0;
  int32_t no_source = 0;  // processed pixels still without a source at the end
  uint64_t passes = 0;  // scoring passes (the pruned method's buckets), sweeps included
  int32_t regions = 1;  // independent regions of a bounded search
  uint64_t launches = 0;  // kernel launches (CUDA), sweeps included
  int32_t sweeps = 0;     // runs after the order that took targets left without a source
  uint32_t elapsed_ms = 0;
};

struct InpaintOptions {
  // Where the fill runs; Auto picks CUDA when a device is usable. The method
  // "CPU" always runs on the CPU backend.
  Backend backend = Backend::Auto;
  // With backend Cuda: the device number, -1 for the first usable one.
  int32_t cuda_device = -1;

  // Optional observer of the run's progress (see ProgressSink).
  ProgressSink* progress = nullptr;

  // Called on the calling thread about every wait_poll_ms while the fill
  // order is built and while the worker runs; it may set ctx.cancel to stop
  // the run (after the current pixel; a stopped build fills nothing).
  std::function<void(InpaintContext&)> on_wait;
  uint32_t wait_poll_ms = 20;

  // Escape ends the run when standard input is a terminal.
  bool escape_key = true;

  // The search domain: a target takes its source only from centres within
  // search_radius pixels in both axes (none: anywhere; 0 or more) and, when
  // source_mask is set (width * height bytes, non-zero allows; read while
  // the run lasts), only from allowed ones.
  std::optional<int32_t> search_radius;
  const uint8_t* source_mask = nullptr;

  // The caller has found the job possible with ImpossibleJob(strict), which
  // refuses everything the run's own check would: the run skips its check.
  bool feasibility_judged = false;

  // Only the marked pixels where `targets` is non-zero (width * height bytes,
  // read while the run lasts) are filled; the other marked pixels stay
  // marked, unknown to the search and never sources. null: every one.
  const uint8_t* targets = nullptr;

  // A target whose window holds no known pixel when its turn comes is left
  // for the sweeps after the order (where its neighbours are known) instead
  // of taking the first candidate of the tie-break.
  bool defer_blind_targets = false;

  // Receives the run's figures when set (zeros when nothing was filled).
  RunStats* stats = nullptr;

  // The command's statistics: "Inpaint Method:" also names the device that
  // runs, and the work estimate counts only the search domain's candidates.
  bool describe_device = false;

  // Receives the source map when set (width * height words): for each
  // pixel the index (y * width + x) of the pixel its value was copied
  // from, the centre of the window chosen for it, and -1 where nothing was
  // copied. A source may itself be a filled pixel, filled before it (in
  // the order, or for a target filled by a sweep also later in the order). A run that fills nothing leaves -1 everywhere.
  int32_t* sources = nullptr;
};

// Runs one inpaint and returns after its worker has ended. image holds
// height rows of width * 3 bytes, mask height rows of width bytes (1 marks a
// pixel to fill). Returns false when the mask holds no 1 ("Nothing to
// inpaint!"), true otherwise. A job in which no pixel can find a source (see
// ImpossibleJob) returns at once, every pixel still marked. Throws std::invalid_argument for arguments
// outside the contract, BackendUnavailable, DeviceMemoryError, DeviceError
// and std::bad_alloc; buffers are left as the worker last wrote them.
bool InpaintImage(uint8_t* image, uint8_t* mask, int32_t width, int32_t height,
                  int32_t radius, int32_t method, bool verbose,
                  const InpaintOptions& options = InpaintOptions());

// Display name of a method number ("CPU", "GPU", "GPU Fast").
const char* MethodDisplayName(int32_t method);

// The statistics line's work estimate, in units of 10^12 operations.
double WorkEstimateTeraOps(int32_t width, int32_t height, int32_t radius,
                           int32_t noise_pixels);

}  // namespace pw
