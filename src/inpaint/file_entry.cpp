#include "inpaint/file_entry.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "image/image.h"
#include "image/image_files.h"
#include "platform/console.h"

namespace pw {
namespace {

// Empties the working image and frees the mask buffer when a run leaves
// the fill step, by whatever path (an exception included).
struct ReleaseAfterFill {
  ~ReleaseAfterFill() {
    Common::WorkingImage().Release(true);
    Common::TheMaskBuffer().Free();
  }
};

int64_t MarkedPixels(const Common::MaskBuffer& mask) {
  return std::count(mask.bytes.get(), mask.bytes.get() + mask.size,
                    uint8_t{1});
}

// Hands the working image's pixels to InpaintImage, which wants packed
// rows of width x 3 bytes; padded rows go through a packed copy.
bool FillWorkingImage(Common::CImage& image, uint8_t* mask, int32_t radius,
                      int32_t method, bool verbose,
                      const InpaintOptions& options) {
  const size_t packedRow = static_cast<size_t>(image.width) * 3;
  if (static_cast<size_t>(image.stride) == packedRow)
    return InpaintImage(image.pixels, mask, image.width, image.height, radius,
                        method, verbose, options);
  std::vector<uint8_t> packed(packedRow * image.height);
  for (int32_t y = 0; y < image.height; ++y)
    std::memcpy(packed.data() + packedRow * y,
                image.pixels + static_cast<size_t>(image.stride) * y,
                packedRow);
  const bool result = InpaintImage(packed.data(), mask, image.width,
                                   image.height, radius, method, verbose,
                                   options);
  for (int32_t y = 0; y < image.height; ++y)
    std::memcpy(image.pixels + static_cast<size_t>(image.stride) * y,
                packed.data() + packedRow * y, packedRow);
  return result;
}

}  // namespace

bool MakeOutputName(std::string& name) {
  const std::string extension =
      Common::FindExtension(name).value_or(std::string());
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  name.erase(dot);
  name += "_inpaint";
  name += extension;
  return true;
}

std::string ChooseOutputName(const std::string& image_file,
                             const std::string* out_file) {
  if (out_file != nullptr && !out_file->empty()) return *out_file;
  std::string name = image_file;
  if (!name.empty()) MakeOutputName(name);
  return name;
}

FileRunResult RunFileInpaint(const std::string& image_file,
                             const std::string& mask_file,
                             const std::string* out_file, int32_t radius,
                             int32_t method, bool verbose,
                             const FileRunOptions& options) {
  FileRunResult result;
  Common::CImage& image = Common::WorkingImage();
  Common::MaskBuffer& maskBuffer = Common::TheMaskBuffer();

  if (!image.Load(image_file)) {
    result.status = FileRunStatus::ImageUnreadable;
    return result;
  }
  // The fill needs 3 channels: an image that cannot be converted is as
  // unusable as one that cannot be read.
  if (!Common::EnsureRgb() && !image.IsEmpty()) {
    result.status = FileRunStatus::ImageUnreadable;
    return result;
  }
  if (image.IsEmpty()) {
    result.status = FileRunStatus::ImageEmpty;
    return result;
  }
  result.image_width = image.width;
  result.image_height = image.height;

  {
    Common::CImage maskImage;
    if (!maskImage.Load(mask_file)) {
      result.status = FileRunStatus::MaskUnreadable;
      return result;
    }
    result.mask_width = maskImage.width;
    result.mask_height = maskImage.height;
    if (maskImage.width != image.width || maskImage.height != image.height) {
      result.status = FileRunStatus::MaskSizeDiffers;
      return result;
    }
    maskBuffer.Allocate(static_cast<size_t>(image.width) *
                        static_cast<size_t>(image.height));
    if (!Common::BuildMaskFromImage(maskImage)) {
      result.status = FileRunStatus::MaskUnusable;
      return result;
    }
  }

  std::vector<uint8_t> allowed;
  InpaintOptions inpaint = options.inpaint;
  if (options.source_mask_file) {
    Common::CImage sourceImage;
    if (!sourceImage.Load(*options.source_mask_file)) {
      result.status = FileRunStatus::SourceMaskUnreadable;
      return result;
    }
    if (sourceImage.width != image.width || sourceImage.height != image.height) {
      result.mask_width = sourceImage.width;
      result.mask_height = sourceImage.height;
      result.status = FileRunStatus::SourceMaskSizeDiffers;
      return result;
    }
    allowed.resize(static_cast<size_t>(image.width) * image.height);
    Common::BuildMaskFromImage(sourceImage, allowed.data());
    inpaint.source_mask = allowed.data();
  }

  ReleaseAfterFill release;
  result.holes = MarkedPixels(maskBuffer);
  if (options.skip_empty_mask && result.holes == 0) {
    result.status = FileRunStatus::NothingToInpaint;
    return result;
  }
  if (options.before_fill)
    options.before_fill(maskBuffer.bytes.get(), image.width, image.height);
  if (!FillWorkingImage(image, maskBuffer.bytes.get(), radius, method,
                        verbose, inpaint)) {
    result.status = FileRunStatus::NothingToInpaint;
    return result;
  }
  result.unfilled = MarkedPixels(maskBuffer);
  if (options.abandoned && options.abandoned()) {
    result.status = FileRunStatus::Abandoned;
    return result;
  }

  result.output_name = ChooseOutputName(image_file, out_file);
  if (verbose) ConsolePrintf("%-20s%s\n", "Output Image:", result.output_name.c_str());
  result.status = Common::Save(image, result.output_name)
                      ? FileRunStatus::Saved
                      : FileRunStatus::NotSaved;
  return result;
}

bool InpaintFile(const std::string& image_file, const std::string& mask_file,
                 const std::string* out_file, int32_t radius, int32_t method,
                 bool verbose, const FileRunOptions& options) {
  const FileRunResult result = RunFileInpaint(
      image_file, mask_file, out_file, radius, method, verbose, options);
  switch (result.status) {
    case FileRunStatus::Saved:
      return true;
    case FileRunStatus::ImageUnreadable:
      ConsolePrintf("Error openning image: %s\n", image_file.c_str());
      return false;
    case FileRunStatus::ImageEmpty:
    case FileRunStatus::MaskUnreadable:
    case FileRunStatus::MaskSizeDiffers:
    case FileRunStatus::MaskUnusable:
      ConsolePrintf("Error openning mask: %s\n", mask_file.c_str());
      return false;
    case FileRunStatus::SourceMaskUnreadable:
    case FileRunStatus::SourceMaskSizeDiffers:
      ConsolePrintf("Error openning mask: %s\n",
                    options.source_mask_file->c_str());
      return false;
    case FileRunStatus::NotSaved:
      ConsolePrintf("Error saving image: %s\n", result.output_name.c_str());
      return false;
    case FileRunStatus::NothingToInpaint:  // InpaintImage has said so
    case FileRunStatus::Abandoned:         // the caller reports why
      return false;
  }
  return false;
}

}  // namespace pw
