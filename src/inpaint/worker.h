// The worker loop common to every fill method: upload, hand out the fill
// order one target at a time (or, to an engine that walks them on its own,
// in runs of targets that end where the decile changes), report progress,
// stop on request or on Escape, copy the result back, empty the fill order
// and release the buffers on every path.
#pragma once

#include <vector>

#include "fill/engine.h"
#include "inpaint/context.h"
#include "schedule/regions.h"

namespace pw {

// Runs one whole run on the calling thread (the driver starts it on a
// thread of its own). Never throws: faults are recorded in ctx.fault.
// With reach >= 0 (a bounded search: search radius plus window radius) the
// engine may fill targets that cannot see each other side by side.
void RunFillWorker(InpaintContext& ctx, FillEngine& engine, int32_t reach = -1);

// The same run on the CPU, region by region, each on a crop of the picture
// with an engine of its own (`params` are the whole picture's): memory
// follows the damage. The regions hold every target of ctx.fill.order.
void RunRegionWorker(InpaintContext& ctx, const EngineParams& params,
                     const std::vector<FillRegion>& regions, int32_t reach);

// Sends percent to the progress sink, when one is attached.
void ReportProgress(InpaintContext& ctx, int percent);

// The console marks of a run whose `total` targets are all processed at
// once (none can find a source), as a run one target at a time prints them,
// and the line end.
void PrintEveryDecileMark(int32_t total);

}  // namespace pw
