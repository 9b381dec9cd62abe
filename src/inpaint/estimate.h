// A rough forecast of a run's duration, for the command line to show
// before a long run: the (target, candidate centre) pairs the search will
// look at, times a measured cost per pair on the CPU backend.
#pragma once

#include <cstdint>
#include <optional>

namespace pw {

struct RunForecast {
  int64_t targets = 0;
  int64_t pairs = 0;      // candidate centres within each target's domain
  double seconds = 0.0;   // on the CPU backend with `threads` threads
};

// The mask holds 1 at the pixels to fill. No search_radius: the whole image.
// `targets` (optional) limits the search to the non-zero ones (method auto's
// hole part); with method auto the other marked pixels are filled smoothly.
RunForecast ForecastRun(const uint8_t* mask, int32_t width, int32_t height,
                        int32_t radius, int32_t method,
                        std::optional<int32_t> search_radius, int threads,
                        const uint8_t* targets = nullptr);

// The same on a CUDA device, from a cost model rather than a measurement.
RunForecast ForecastCudaRun(const uint8_t* mask, int32_t width, int32_t height,
                            int32_t radius, int32_t method,
                            std::optional<int32_t> search_radius,
                            const uint8_t* targets = nullptr);

}  // namespace pw
