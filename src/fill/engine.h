// The one interface between the worker loop and the hardware. A fill engine
// holds its own copy of image and mask (device memory for CUDA, host memory
// for the CPU), fills target pixels in the order it is given, and hands the
// state back. The worker loop is written once against this interface; a new
// backend never touches the driver. Which device a run goes to is
// fill/device_choice.h; the CPU's thread count, fill/cpu/thread_count.h.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pw {

class ThreadPool;

enum class Backend { Auto, Cpu, Cuda };

// Method numbers as the Python enumeration gives them.
enum Method : int32_t {
  kMethodCpu = 0,      // exhaustive search on the CPU backend
  kMethodGpu = 1,      // exhaustive search on the chosen backend
  kMethodGpuFast = 2,  // pruned search on the chosen backend
};

struct EngineParams {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;  // bytes per image row
  int32_t radius = 0;
  int32_t method = kMethodGpu;
  float missing_tolerance = 0.0f;  // 0 selects the constant-window path
  float search_limit = 0.0f;       // used by the general distance only
  int32_t candidate_mask_value = 0;
  int32_t cuda_device = -1;  // CUDA device of the run; -1: the current one
  // The search domain: candidate centres within search_radius pixels of
  // the target in both axes (negative: anywhere), and, when source_mask is
  // set (width * height bytes, non-zero allows, owned by the caller for the
  // run), only allowed ones.
  int32_t search_radius = -1;
  const uint8_t* source_mask = nullptr;
  // Keep the source map: for every pixel the index of the pixel its value
  // was copied from (the chosen window's centre), -1 where nothing was
  // copied. One 4-byte word per pixel; the search does not change.
  bool record_sources = false;
  // The engine may hold a crop of the picture: width and height are then
  // the crop's, (crop_x0, crop_y0) its place in a picture picture_width
  // pixels wide (0: no crop). Ties between equal candidates are broken by
  // their picture indices, so a crop chooses exactly what the whole picture
  // would; everything else (the source map included) is in crop indices.
  int32_t crop_x0 = 0;
  int32_t crop_y0 = 0;
  int32_t picture_width = 0;
  // CPU: the threads to run on, shared by the engines of one run (one per
  // region, one engine filling at a time: a pool runs one loop at a time);
  // null: the engine makes its own.
  std::shared_ptr<ThreadPool> cpu_pool;
};

// Picture indices of a crop's pixels, and back.
struct CropIndex {
  int32_t width = 0;          // the crop's
  int32_t picture_width = 0;  // the picture's
  int32_t origin = 0;         // picture index of the crop's first pixel

  explicit CropIndex(const EngineParams& p)
      : width(p.width), picture_width(p.picture_width > 0 ? p.picture_width : p.width),
        origin(p.crop_y0 * picture_width + p.crop_x0) {}
  int32_t ToPicture(int32_t i) const {
    return width == picture_width ? i + origin
                                  : i + origin + i / width * (picture_width - width);
  }
  int32_t ToCrop(int32_t g) const {
    if (width == picture_width) return g - origin;
    const int32_t d = g - (origin - origin % picture_width);
    return (d / picture_width) * width + d % picture_width - origin % picture_width;
  }
};

// A fault of the backend (a CUDA error, say). The run stops; the message is
// what the Python caller sees.
class DeviceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The backend could not allocate the buffers of a run.
class DeviceMemoryError : public std::runtime_error {
 public:
  DeviceMemoryError(const std::string& what, uint64_t bytes)
      : std::runtime_error(what), bytes_(bytes) {}
  uint64_t bytes() const { return bytes_; }

 private:
  uint64_t bytes_;
};

class FillEngine {
 public:
  virtual ~FillEngine() = default;

  // Allocates the buffers of a run and uploads image (stride * height bytes)
  // and mask (width * height bytes). Throws DeviceMemoryError or DeviceError;
  // on a throw nothing stays allocated.
  virtual void Start(const uint8_t* image, const uint8_t* mask) = 0;

  // Fills target (x, y) when a candidate qualifies, and returns when the
  // work is done. Throws DeviceError.
  virtual void FillPixel(int32_t x, int32_t y) = 0;

  // Fills the targets order[begin], ..., order[end - 1] one after the other,
  // exactly as that many FillPixel calls would (x = index mod width,
  // y = index div width), and returns when they are done. `order` is the
  // run's whole fill order: the same vector, unchanged, for every call of a
  // run, so an engine may keep a copy of it (the CUDA device loop keeps it
  // on the device and walks it there). Throws DeviceError.
  virtual void FillRun(const std::vector<int32_t>& order, int32_t begin,
                       int32_t end, int32_t width) {
    for (int32_t k = begin; k < end; ++k)
      FillPixel(order[k] % width, order[k] / width);
  }

  // Fills order[begin], ..., order[end - 1] with exactly the result FillRun
  // gives, but may fill several at once: a target starts once every earlier
  // one of the stretch within `reach` pixels of it (in both axes) is done.
  // `reach` covers every pixel a fill reads (search radius plus window
  // radius), so targets further apart cannot see each other.
  virtual void FillReady(const std::vector<int32_t>& order, int32_t begin,
                         int32_t end, int32_t width, int32_t reach) {
    (void)reach;
    FillRun(order, begin, end, width);
  }

  // Whether FillRun gains from long runs. The worker hands an engine that
  // does not one target per step, and checks for a stop request, Escape
  // and progress after each; one that does gets runs of up to a few tens of
  // milliseconds of work, and is checked between them.
  virtual bool walks_runs() const { return false; }

  // Whether FillReady fills the ready targets of any stretch of a bounded
  // search in batches (the CUDA device loop), so the worker hands it every
  // stretch there however few targets are ready at once.
  virtual bool fills_batches() const { return false; }

  // Copies the current image / mask into host buffers. Throws DeviceError.
  virtual void PullImage(uint8_t* image) = 0;
  virtual void PullMask(uint8_t* mask) = 0;

  // Copies the source map (width * height words) into a host buffer; only
  // for a run with params.record_sources. Throws DeviceError.
  virtual void PullSources(int32_t* sources) = 0;

  // Frees everything Start allocated. Safe to call more than once.
  virtual void Release() noexcept = 0;

  // Scoring passes run since Start: the pruned method scores a target's
  // candidates bucket by bucket; the exhaustive method has no passes (0).
  virtual uint64_t passes() const { return 0; }

  // Kernel launches of the run so far (device engines).
  virtual uint64_t launches() const { return 0; }
};

// Creates the engine for a method on a concrete backend. Throws
// std::invalid_argument for an unknown method.
std::unique_ptr<FillEngine> CreateFillEngine(Backend backend,
                                             const EngineParams& params);

}  // namespace pw
