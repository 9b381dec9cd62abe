#include "inpaint/file_entry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/exif_block.h"
#include "image/image.h"
#include "image/image_files.h"
#include "image/image_limits.h"
#include "image/orientation.h"
#include "inpaint/auto_fill.h"
#include "inpaint/feasibility.h"
#include "inpaint/source_copy.h"
#include "platform/console.h"
#include "schedule/damage_split.h"

namespace pw {
namespace {

int64_t MarkedPixels(const Common::MaskBuffer& mask) {
  return std::count(mask.bytes.get(), mask.bytes.get() + mask.size,
                    uint8_t{1});
}

// Hands the working image's pixels to InpaintImage, which wants packed
// rows of width x 3 bytes. Padded rows are packed in the image's own block
// for the run and spread out again afterwards, so that a large picture is
// never held twice.
bool FillWorkingImage(Common::CImage& image, uint8_t* mask, int32_t radius,
                      int32_t method, bool verbose,
                      const InpaintOptions& options) {
  const size_t packedRow = static_cast<size_t>(image.width) * 3;
  const size_t stride = static_cast<size_t>(image.stride);
  if (stride != packedRow) {
    for (int32_t y = 1; y < image.height; ++y)
      std::memmove(image.pixels + packedRow * y, image.pixels + stride * y,
                   packedRow);
  }
  // On an exception the image is dropped unseen: no need to spread it.
  const bool result = InpaintImage(image.pixels, mask, image.width,
                                   image.height, radius, method, verbose,
                                   options);
  if (stride != packedRow) {
    for (int32_t y = image.height - 1; y > 0; --y)
      std::memmove(image.pixels + stride * y, image.pixels + packedRow * y,
                   packedRow);
  }
  return result;
}

// A picture that is not 8-bit RGB (16-bit samples, one channel or an
// alpha channel kept): the search runs on its 8-bit RGB rendition (high
// bytes, gray repeated, alpha left out) with a source map, and every filled
// pixel then takes all its samples from its source. The rendition's result
// is thus the 8-bit result.
bool FillByRendition(Common::CImage& image, uint8_t* mask, int32_t radius,
                     int32_t method, bool verbose, const InpaintOptions& options) {
  const int32_t w = image.width, h = image.height;
  const size_t pixels = static_cast<size_t>(w) * h;
  std::vector<uint8_t> eight(pixels * 3);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* d = eight.data() + static_cast<size_t>(y) * w * 3;
    for (int32_t x = 0; x < w; ++x, d += 3) image.GetRgb(x, y, d[0], d[1], d[2]);
  }
  // The caller's map stays as the run left it; a map of our own is
  // resolved in place.
  std::vector<int32_t> own;
  InpaintOptions run = options;
  if (run.sources == nullptr) {
    own.resize(pixels);
    run.sources = own.data();
  }
  const bool result = InpaintImage(eight.data(), mask, w, h, radius, method, verbose, run);
  std::vector<uint8_t>().swap(eight);
  if (!result) return false;
  if (own.empty()) own.assign(run.sources, run.sources + pixels);
  ResolveSources(own.data(), static_cast<int64_t>(pixels));
  CopyFromResolvedSources(image.pixels, w, h, static_cast<size_t>(image.stride),
                          static_cast<size_t>(image.PixelBytes()), own.data());
  return true;
}

// Reads one input; on failure, the status that says why.
bool LoadInput(Common::CImage& image, const std::string& path,
               const FileRunOptions& options, bool prefer_rgb,
               FileRunStatus unreadable, FileRunStatus too_large,
               FileRunResult& result, bool keep_wide = false) {
  Common::LoadControl control;
  control.prefer_rgb = prefer_rgb;
  control.keep_wide = keep_wide;
  control.stop = options.stop_requested;
  if (Common::LoadFile(image, path, control)) {
    for (const std::string& warning : control.warnings())
      ConsoleFprintf(stderr, "patchwell: warning: '%s': %s\n", path.c_str(),
                     warning.c_str());
    return true;
  }
  switch (control.failure()) {
    case Common::LoadFailure::TooLarge:
      result.status = too_large;
      result.declared_width = control.declared_width();
      result.declared_height = control.declared_height();
      break;
    case Common::LoadFailure::Stopped:
      result.status = FileRunStatus::Abandoned;
      break;
    case Common::LoadFailure::Refused:
      result.refusal = control.refusal();
      result.status = unreadable;
      break;
    case Common::LoadFailure::None:
      result.status = unreadable;
      break;
  }
  return false;
}

// The status of a save that failed: an output that appeared where none was
// to be replaced, or a failure with its errno.
FileRunStatus SaveFailure(FileRunResult& result) {
  result.save_error = Common::LastSaveError();
  return result.save_error == EEXIST ? FileRunStatus::OutputExists
                                     : FileRunStatus::NotSaved;
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

namespace {

// The inputs of a file run, read: the picture, the mask built from the mask
// file (or the alpha channel) and the allowed sources. They live for the
// run only.
struct FileRunInputs {
  Common::CImage image;
  Common::MaskBuffer mask;
  std::vector<uint8_t> allowed;  // the source mask's flags, empty when none
  Common::ImageFormat format = Common::ImageFormat::None;
};

// Reads the mask file into inputs.mask, turning the picture to its shown
// orientation first when the mask has the shown size.
bool ReadMask(FileRunInputs& in, const std::string& mask_file,
              const FileRunOptions& options, FileRunResult& result) {
  Common::CImage& image = in.image;
  Common::CImage maskImage;
  if (!LoadInput(maskImage, mask_file, options, false, FileRunStatus::MaskUnreadable,
                 FileRunStatus::MaskTooLarge, result))
    return false;
  result.mask_width = maskImage.width;
  result.mask_height = maskImage.height;
  result.orientation = Common::ShownOrientation(image.metadata);
  const bool swap = Common::SwapsSides(result.orientation);
  const int32_t shownWidth = swap ? image.height : image.width;
  const int32_t shownHeight = swap ? image.width : image.height;
  if (result.orientation != 1 && maskImage.width == shownWidth &&
      maskImage.height == shownHeight) {
    if (!Common::TurnToShown(image, result.orientation)) {
      result.status = FileRunStatus::ImageUnreadable;
      return false;
    }
    Common::MarkShownAsStored(image.metadata);
    image.metadata.infrared.reset();  // it stays in the stored orientation
    result.turned = true;
    result.image_width = image.width;
    result.image_height = image.height;
  }
  if (maskImage.width != image.width || maskImage.height != image.height) {
    result.status = FileRunStatus::MaskSizeDiffers;
    return false;
  }
  if (!Common::TakeMaskFromImage(maskImage, in.mask)) {
    result.status = FileRunStatus::MaskUnusable;
    return false;
  }
  return true;
}

// Prepare: reads the picture, the mask and the source mask, and checks the
// output name. False, with the status set, when the run ends here.
bool ReadInputs(FileRunInputs& in, const std::string& image_file,
                const std::string& mask_file, const std::string* out_file, bool verbose,
                const FileRunOptions& options, FileRunResult& result) {
  Common::CImage& image = in.image;
  // TIFF and WebP pictures, gray ones and 16-bit ones keep their channels
  // (an alpha channel is repaired with the colour, unless the holes came
  // from it); the others become RGB, an alpha channel staying until the
  // mask has been taken from it. Gray files are therefore read as gray.
  in.format = Common::LoadFormatFor(image_file);
  const bool keep_layout =
      in.format == Common::ImageFormat::Tiff || in.format == Common::ImageFormat::Webp;
  if (!LoadInput(image, image_file, options, false, FileRunStatus::ImageUnreadable,
                 FileRunStatus::ImageTooLarge, result, true))
    return false;
  if (image.IsEmpty()) {
    result.status = FileRunStatus::ImageEmpty;
    return false;
  }
  result.image_width = image.width;
  result.image_height = image.height;
  // A thumbnail would show the picture as it was; a block that other
  // readers cannot parse would make them fail on the output.
  const char* dropped = Common::ReadyExifForOutput(image.metadata.exif);
  if (dropped != nullptr && verbose) ConsolePrintf("%-20s%s\n", "EXIF Dropped:", dropped);

  if (options.mask_from_alpha) {
    if (image.channels != 4) {
      result.status = FileRunStatus::NoAlpha;
      return false;
    }
    in.mask.Allocate(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    Common::BuildMaskFromAlpha(image, in.mask.bytes.get());
  } else if (mask_file.empty() && options.add_holes) {
    in.mask.Allocate(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    std::fill(in.mask.bytes.get(), in.mask.bytes.get() + in.mask.size, uint8_t{0});
  } else if (!ReadMask(in, mask_file, options, result)) {
    return false;
  }
  if (options.add_holes) options.add_holes(image, in.mask.bytes.get());
  // The fill needs 3 channels: an image that cannot be converted is as
  // unusable as one that cannot be read. A gray picture (one channel, or
  // gray+alpha read as RGBA) is filled through its rendition instead, so
  // that it is written back gray.
  const bool gray = image.channels == 1 || image.metadata.gray;
  const bool keep = (keep_layout || image.depth == 16 || gray) &&
                    !(options.mask_from_alpha && image.channels == 4);
  if (!keep && !Common::EnsureRgb(image)) {
    result.status = FileRunStatus::ImageUnreadable;
    return false;
  }

  if (options.source_mask_file) {
    Common::CImage sourceImage;
    if (!LoadInput(sourceImage, *options.source_mask_file, options, false,
                   FileRunStatus::SourceMaskUnreadable,
                   FileRunStatus::SourceMaskTooLarge, result))
      return false;
    if (sourceImage.width != image.width || sourceImage.height != image.height) {
      result.mask_width = sourceImage.width;
      result.mask_height = sourceImage.height;
      result.status = FileRunStatus::SourceMaskSizeDiffers;
      return false;
    }
    in.allowed.resize(static_cast<size_t>(image.width) * image.height);
    Common::BuildMaskFromImage(sourceImage, in.allowed.data());
  }

  // A name that cannot be written fails now, not after the run.
  result.output_name = ChooseOutputName(image_file, out_file);
  result.output_problem =
      Common::CheckOutputPath(result.output_name, options.follow_output_links);
  if (result.output_problem != Common::OutputProblem::None) {
    result.save_error = Common::LastSaveError();
    result.status = FileRunStatus::OutputUnusable;
    return false;
  }
  return true;
}

Common::SaveOptions SaveOptionsOf(const FileRunOptions& options) {
  Common::SaveOptions save;
  save.quality = options.quality;
  save.quality_given = options.quality_given;
  save.keep_jpeg_quality = options.keep_jpeg_quality;
  save.tiff_compression = options.tiff_compression;
  save.follow_links = options.follow_output_links;
  save.replace = options.replace_output;
  return save;
}

// Run: fills the picture's holes. False, with the status set, when there
// is nothing to save.
bool FillInputs(FileRunInputs& in, const std::string& image_file, int32_t radius,
                int32_t method, bool verbose, const FileRunOptions& options,
                FileRunResult& result) {
  Common::CImage& image = in.image;
  uint8_t* mask = in.mask.bytes.get();
  InpaintOptions inpaint = options.inpaint;
  if (!in.allowed.empty()) inpaint.source_mask = in.allowed.data();
  result.holes = MarkedPixels(in.mask);
  if (options.skip_empty_mask && result.holes == 0) {
    result.status = FileRunStatus::NothingToInpaint;
    if (options.copy_when_nothing_to_fill) {
      // The file itself where the output has its format; another format
      // gets the picture as read.
      const Common::SaveOptions save = SaveOptionsOf(options);
      const bool copied =
          Common::SaveFormatFor(result.output_name) == in.format
              ? Common::CopyFileAtomically(image_file, result.output_name, save)
              : Common::Save(image, result.output_name, save);
      result.status = copied ? FileRunStatus::Copied : SaveFailure(result);
    }
    return false;
  }
  // Method auto: the search fills the hole part, the smooth fill the rest.
  const bool automatic = method == kMethodAuto;
  std::vector<uint8_t> holes;
  if (automatic) {
    holes = HolePart(mask, image.width, image.height);
    inpaint.targets = holes.data();
    inpaint.defer_blind_targets = true;
    method = kMethodGpu;
  }
  const bool search = !automatic || std::find(holes.begin(), holes.end(), uint8_t{1}) != holes.end();
  if (options.default_search_radius)
    inpaint.search_radius = DefaultSearchRadius(mask, inpaint.targets, image.width,
                                                image.height, radius);
  result.search_radius = inpaint.search_radius;
  if (options.refuse_impossible) {
    // Without a search (thin damage alone) only the arguments can be wrong.
    const JobShape job{mask,   image.width,           image.height,       radius,
                       method, inpaint.search_radius, inpaint.source_mask};
    if (auto problem = search ? ImpossibleJob(job, true)
                              : SearchRadiusProblem(radius, inpaint.search_radius)) {
      result.problem = *problem;
      result.status = FileRunStatus::Impossible;
      return false;
    }
    inpaint.feasibility_judged = true;
  }
  if (options.before_fill) options.before_fill(mask, image.width, image.height, inpaint);
  RunStats stats;
  if (inpaint.stats == nullptr) inpaint.stats = &stats;
  if (options.sources != nullptr) {
    options.sources->assign(static_cast<size_t>(image.width) * image.height, -1);
    inpaint.sources = options.sources->data();
  }
  bool filled = true;
  // Without a search the smooth fill is the whole run: 0 % now, 100 % at its end.
  if (!search && inpaint.progress != nullptr) inpaint.progress->Report(0, 0.0);
  if (search)
    filled = image.depth == 16 || image.channels != 3
                 ? FillByRendition(image, mask, radius, method, verbose, inpaint)
                 : FillWorkingImage(image, mask, radius, method, verbose, inpaint);
  else
    *inpaint.stats = RunStats();
  result.processed = inpaint.stats->targets;
  result.no_source = inpaint.stats->no_source;
  if (!filled) {
    result.status = FileRunStatus::NothingToInpaint;
    return false;
  }
  // A stopped search leaves the thin damage as it is.
  if (automatic && result.processed == inpaint.stats->holes) {
    const int64_t thin = MarkedPixels(in.mask) - result.no_source;
    const int64_t smooth = FillThinDamage(
        {image.pixels, image.width, image.height, image.channels, image.depth / 8,
         static_cast<size_t>(image.stride)},
        mask, holes);
    if (verbose) ConsolePrintf("%-20s%lld\n", "Smooth Pixels: ", static_cast<long long>(smooth));
    if (!search && inpaint.progress != nullptr) inpaint.progress->Report(100, 1.0);
    result.processed += thin;
    result.no_source += thin - smooth;
  }
  result.unfilled = MarkedPixels(in.mask);
  if (result.no_source > 0)
    result.no_source_causes = NoSourceCauses(
        {mask, image.width, image.height, radius, method,
         SearchDomain(inpaint.search_radius, image.width, image.height), inpaint.source_mask});
  return true;
}

}  // namespace

FileRunResult RunFileInpaint(const std::string& image_file,
                             const std::string& mask_file,
                             const std::string* out_file, int32_t radius,
                             int32_t method, bool verbose,
                             const FileRunOptions& options) {
  if (options.quality < 1 || options.quality > 100)
    throw std::invalid_argument("JPEG quality must be between 1 and 100, got " +
                                std::to_string(options.quality));
  FileRunResult result;
  FileRunInputs inputs;
  if (!ReadInputs(inputs, image_file, mask_file, out_file, verbose, options, result) ||
      !FillInputs(inputs, image_file, radius, method, verbose, options, result))
    return result;
  // Collect: a run the caller stopped is dropped, a finished one saved.
  if (options.abandoned && options.abandoned()) {
    result.status = FileRunStatus::Abandoned;
    return result;
  }
  if (verbose) ConsolePrintf("%-20s%s\n", "Output Image:", result.output_name.c_str());
  result.status = Common::Save(inputs.image, result.output_name, SaveOptionsOf(options))
                      ? FileRunStatus::Saved
                      : SaveFailure(result);
  return result;
}

bool InpaintFile(const std::string& image_file, const std::string& mask_file,
                 const std::string* out_file, int32_t radius, int32_t method,
                 bool verbose, const FileRunOptions& options,
                 FileRunResult* outcome) {
  const FileRunResult result = RunFileInpaint(
      image_file, mask_file, out_file, radius, method, verbose, options);
  if (outcome != nullptr) *outcome = result;
  auto too_large = [&](const char* what, const std::string& name) {
    ConsoleFprintf(stderr,
                   "patchwell: %s '%s' declares %lld x %lld pixels, more than "
                   "the limit of %lld (patchwell.set_max_image_pixels raises "
                   "it for files you trust)\n",
                   what, name.c_str(),
                   static_cast<long long>(result.declared_width),
                   static_cast<long long>(result.declared_height),
                   static_cast<long long>(Common::MaxImagePixels()));
  };
  auto refused = [&](const char* what, const std::string& name) {
    if (!result.refusal.empty())
      ConsoleFprintf(stderr, "patchwell: cannot read %s '%s': %s\n", what,
                     name.c_str(), result.refusal.c_str());
  };
  switch (result.status) {
    case FileRunStatus::Saved:
      return true;
    case FileRunStatus::ImageTooLarge:
      too_large("image", image_file);
      [[fallthrough]];
    case FileRunStatus::ImageUnreadable:
      refused("image", image_file);
      ConsolePrintf("Error openning image: %s\n", image_file.c_str());
      return false;
    case FileRunStatus::NoAlpha:
      throw std::invalid_argument(
          "no mask given and image '" + image_file +
          "' has no alpha channel to take the holes from");
    case FileRunStatus::MaskTooLarge:
      too_large("mask", mask_file);
      [[fallthrough]];
    case FileRunStatus::MaskUnreadable:
      refused("mask", mask_file);
      [[fallthrough]];
    case FileRunStatus::ImageEmpty:
    case FileRunStatus::MaskSizeDiffers:
    case FileRunStatus::MaskUnusable:
      ConsolePrintf("Error openning mask: %s\n", mask_file.c_str());
      return false;
    case FileRunStatus::SourceMaskTooLarge:
      too_large("source mask", *options.source_mask_file);
      [[fallthrough]];
    case FileRunStatus::SourceMaskUnreadable:
      refused("source mask", *options.source_mask_file);
      [[fallthrough]];
    case FileRunStatus::SourceMaskSizeDiffers:
      ConsolePrintf("Error openning mask: %s\n",
                    options.source_mask_file->c_str());
      return false;
    case FileRunStatus::OutputUnusable:
    case FileRunStatus::NotSaved:
      ConsolePrintf("Error saving image: %s\n", result.output_name.c_str());
      return false;
    case FileRunStatus::OutputExists:
      ConsolePrintf("Error saving image: %s\n", result.output_name.c_str());
      return false;
    case FileRunStatus::Impossible:  // only when refused up front
      throw std::invalid_argument(result.problem);
    case FileRunStatus::NothingToInpaint:  // InpaintImage has said so
    case FileRunStatus::Copied:
    case FileRunStatus::Abandoned:         // the caller reports why
      return false;
  }
  return false;
}

}  // namespace pw
