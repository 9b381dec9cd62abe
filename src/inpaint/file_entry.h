// The file entry: reads an image file and a mask file, inpaints and writes
// the result under the given name or one derived from the input's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image/image_files.h"
#include "inpaint/driver.h"

namespace pw {

// Derives the output name in place: everything from the last '.' on is
// replaced by "_inpaint" and the extension (as FindExtension gives it,
// upper-cased). False, with the name unchanged, when it holds no '.'.
bool MakeOutputName(std::string& name);

// The output name of a run: out_file when given and not empty, else the
// image file's name with MakeOutputName applied.
std::string ChooseOutputName(const std::string& image_file,
                             const std::string* out_file);

// How a run of the file entry ended.
enum class FileRunStatus {
  Saved,             // inpainted and written
  ImageUnreadable,   // the image file could not be read (or made RGB)
  ImageTooLarge,     // the image file declares more pixels than allowed
  ImageEmpty,        // the image file was read but holds no pixel
  NoAlpha,           // no mask file given, and the image has no alpha
  MaskUnreadable,    // the mask file could not be read
  MaskTooLarge,      // the mask file declares more pixels than allowed
  MaskSizeDiffers,   // the mask's size is not the image's
  MaskUnusable,      // no mask buffer could be built from the mask image
  SourceMaskUnreadable,   // the source mask file could not be read
  SourceMaskSizeDiffers,  // the source mask's size is not the image's
  SourceMaskTooLarge,     // the source mask declares more pixels than allowed
  OutputUnusable,    // the output name cannot be written (checked first)
  NothingToInpaint,  // no gray value of the mask is above 128
  Copied,            // nothing to fill, and the image file was copied
  Impossible,        // no hole can find a source (problem says why)
  OutputExists,      // the output appeared and was not to be replaced
  Abandoned,         // the caller stopped the run; nothing was written
  NotSaved,          // inpainted, but the output could not be written
};

struct FileRunResult {
  FileRunStatus status = FileRunStatus::ImageUnreadable;
  std::string output_name;   // set once the inputs have been read
  int32_t image_width = 0, image_height = 0;
  int32_t mask_width = 0, mask_height = 0;  // of the mask or source mask
  // The image's EXIF orientation (1 to 8) as read; once the pixels have been
  // turned to it, the image's size is the shown one and turned is true.
  int32_t orientation = 1;
  bool turned = false;
  // The sizes a file declared when it was refused as too large.
  int64_t declared_width = 0, declared_height = 0;
  Common::OutputProblem output_problem = Common::OutputProblem::None;
  int64_t holes = 0;     // pixels the mask marks, once it is built
  int64_t unfilled = 0;  // of those, the ones the fill found no source for
  // Of the holes, those the fill got to: fewer when the run was stopped
  // early (Escape), and the rest are among the unfilled.
  int64_t processed = 0;
  // Of the processed holes, those that found no source.
  int64_t no_source = 0;
  uint32_t no_source_causes = 0;  // what kept them from one (NoSourceCause bits)
  std::optional<int32_t> search_radius;  // the run's, once settled (none: whole picture)
  std::string problem;  // why the job is Impossible
  std::string refusal;  // why a reader did not take an input it recognised
  int save_error = 0;   // errno of a failed save or output check, or 0
};

struct FileRunOptions {
  // The modes of the entries (inpaint/entry.cpp): the command's (the device
  // named in the statistics, an empty mask copies the picture, an
  // impossible job is refused up front), a batch's (the same, without
  // Escape, replacing links in the output folder rather than following
  // them, and an existing output only with `overwrite`) and the package's
  // inpaint_file (a missing mask takes the holes from the alpha channel).
  static FileRunOptions Command();
  static FileRunOptions Batch(bool overwrite);
  static FileRunOptions InpaintFile(bool mask_given);

  InpaintOptions inpaint;
  // Asked after the fill: true when the caller stopped the run for a reason
  // of its own (Ctrl+C, a failing progress callback). The partial result is
  // then dropped instead of saved.
  std::function<bool()> abandoned;
  // Asked about every 50 ms while the files are read: true ends the read,
  // and the run, as Abandoned.
  std::function<bool()> stop_requested;
  // Skip InpaintImage (and its "Nothing to inpaint!") when the mask marks
  // no pixel, for callers that report that themselves.
  bool skip_empty_mask = false;
  // No mask file: the transparent pixels of the image (alpha below 128)
  // are the holes, and mask_file is not read.
  bool mask_from_alpha = false;
  // JPEG (and lossy WebP) quality of the output, 1 to 100; quality_given
  // when the caller chose it (a WebP output is then lossy).
  int quality = Common::kDefaultJpegQuality;
  bool quality_given = false;
  // A JPEG output of a JPEG input takes the input's quantisation tables and
  // chroma subsampling instead of `quality`.
  bool keep_jpeg_quality = false;
  // Compression of a TIFF output.
  Common::TiffCompression tiff_compression = Common::TiffCompression::Deflate;
  // How the output is put in place (see Common::SaveOptions).
  bool follow_output_links = true;
  bool replace_output = true;
  // With nothing to fill (skip_empty_mask), copy the image file to the
  // output unchanged (status Copied); an output of another format gets the
  // picture as read, in that format.
  bool copy_when_nothing_to_fill = false;
  // Refuse a job where no hole can find a source before running it (status
  // Impossible), counting a search radius at or below the window radius as
  // such; otherwise InpaintImage returns at once for the certain cases.
  bool refuse_impossible = false;
  // A picture of the image's size whose pixels of gray value above 128 are
  // the only allowed sources (inpaint.source_mask is then set from it).
  std::optional<std::string> source_mask_file;
  // Derive the search radius from the mask (DefaultSearchRadius) instead of
  // taking inpaint.search_radius.
  bool default_search_radius = false;
  // Called once the mask is built, right before the fill, with the mask
  // (1 marks a pixel to fill), the picture's size and the run's options
  // (the search radius settled, the targets of method auto set).
  std::function<void(const uint8_t* mask, int32_t width, int32_t height,
                     const InpaintOptions& run)>
      before_fill;
  // Called once the mask is read, with the picture as read and the mask (1
  // marks a pixel to fill), to mark more pixels: the damage a detector
  // finds. With it and no mask file (nor mask_from_alpha) the mask starts
  // empty. It may throw to end the run.
  std::function<void(const Common::CImage& image, uint8_t* mask)> add_holes;
  // Receives the run's source map (see InpaintOptions::sources), width *
  // height words, when set and the fill ran.
  std::vector<int32_t>* sources = nullptr;
};

// 16-bit samples are kept where the input's format holds them (PNG, TIFF,
// PPM above 255): the fill runs on the high bytes and every filled pixel
// takes all its samples from its source (inpaint/source_copy.h). The
// EXIF (without its thumbnail; not at all when other readers cannot parse
// it), ICC and XMP blocks go from input to output where both hold them.
//
// A picture whose EXIF (or, without one, XMP) orientation is not 1 is
// repaired as it is shown when the mask has the shown size (for
// orientations 2 to 4, and square pictures, always): the pixels are turned
// and written so, with the orientations set to 1. A mask of the stored size leaves them as stored.
//
// Runs the steps of the file entry and prints nothing of its own except
// the "Output Image:" line when verbose (InpaintImage prints its own
// lines). The picture and the mask live for the run only: nothing stays
// allocated after it, whichever way it ends. Callers hold InpaintRunMutex()
// (the fill keeps process-wide state). The output name is checked once the
// inputs have been read, before the fill.
// Throws std::invalid_argument for a quality out of range, what
// InpaintImage throws, and std::bad_alloc when the mask buffer cannot be
// had.
FileRunResult RunFileInpaint(const std::string& image_file,
                             const std::string& mask_file,
                             const std::string* out_file, int32_t radius,
                             int32_t method, bool verbose,
                             const FileRunOptions& options = FileRunOptions());

// RunFileInpaint with the entry's messages on standard output: "Error
// openning image: %s\n", "Error openning mask: %s\n" (with the source
// mask's name when that one fails) and "Error saving image: %s\n"; a file
// over the pixel limit, or one whose reader said why it failed, also gets
// a line on standard error that says so. True when the image was inpainted
// and saved; `outcome`, when given, receives the run's result. Throws
// std::invalid_argument when no mask was given and the image has no alpha.
bool InpaintFile(const std::string& image_file, const std::string& mask_file,
                 const std::string* out_file, int32_t radius, int32_t method,
                 bool verbose,
                 const FileRunOptions& options = FileRunOptions(),
                 FileRunResult* outcome = nullptr);

}  // namespace pw
