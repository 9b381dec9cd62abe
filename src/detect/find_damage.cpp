#include "detect/find_damage.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "detect/dilate.h"
#include "detect/dust_finder.h"
#include "detect/infrared.h"
#include "detect/lines.h"
#include "detect/planes.h"

namespace pw::detect {
namespace {

// The sensitivity the line finder proposes runs at for the line model
// (which was trained on the runs proposed so).
constexpr double kLineLeniency = 1.5;

void CheckView(const PictureView& v, const char* what, bool one_channel) {
  const std::string name(what);
  if (v.pixels == nullptr || v.width <= 0 || v.height <= 0)
    throw std::invalid_argument(name + " is empty");
  if (v.bits != 8 && v.bits != 16)
    throw std::invalid_argument(name + " must have 8- or 16-bit samples");
  if (one_channel ? v.channels < 1
                  : v.channels != 1 && v.channels != 3 && v.channels != 4)
    throw std::invalid_argument(name + " must have 1, 3 or 4 channels");
  if (v.row_bytes < static_cast<ptrdiff_t>(v.width) * v.channels * (v.bits / 8))
    throw std::invalid_argument(name + "'s rows are shorter than its width");
}

void CheckOptions(const FindOptions& o) {
  if ((o.kinds & (kDust | kScratches | kInfrared)) == 0 ||
      (o.kinds & ~unsigned(kDust | kScratches | kInfrared)) != 0)
    throw std::invalid_argument("kinds must be a combination of dust, scratches and infrared");
  if (!(o.sensitivity > 0 && o.sensitivity <= 100))
    throw std::invalid_argument("sensitivity must be above 0 and at most 100");
  if (o.max_speck < 1 || o.max_speck > 64)
    throw std::invalid_argument("max_speck must be from 1 to 64 pixels");
  if (o.max_width < 1 || o.max_width > 16)
    throw std::invalid_argument("max_width must be from 1 to 16 pixels");
  if (o.min_length < 1 || o.min_length > 100000)
    throw std::invalid_argument("min_length must be from 1 to 100000 pixels");
  if (o.dilation < 0 || o.dilation > 16 || o.infrared_dilation < 0 || o.infrared_dilation > 16)
    throw std::invalid_argument("dilation must be from 0 to 16 pixels");
}

void FindInPicture(const PictureView& picture, const FindOptions& o, uint8_t* mask) {
  const int32_t w = picture.width, h = picture.height;
  if (o.kinds & kDust) MarkDust(picture, o, mask);
  if (o.kinds & kScratches) {
    const LineInputs lines = ReadLines(picture, o.max_width);
    // The runs are proposed leniently, and the same at every sensitivity
    // (so that a higher one finds all a lower one does): the line model
    // turns down the picture's own thin details.
    for (const bool dark : {true, false})
      MarkLineRuns(FindLineRuns(lines, dark, o.min_length, kLineLeniency), o.sensitivity, mask,
                   w, h);
  }
  Dilate(mask, w, h, o.dilation);
}

}  // namespace

void FindDamage(const PictureView& picture, const PictureView* infrared,
                const FindOptions& options, uint8_t* mask) {
  CheckView(picture, "the picture", false);
  CheckOptions(options);
  const size_t n = static_cast<size_t>(picture.width) * picture.height;
  std::fill(mask, mask + n, 0);
  if (options.kinds & (kDust | kScratches)) FindInPicture(picture, options, mask);
  if (options.kinds & kInfrared) {
    if (infrared == nullptr)
      throw std::invalid_argument("finding infrared damage needs the infrared channel");
    CheckView(*infrared, "the infrared channel", true);
    if (infrared->width != picture.width || infrared->height != picture.height)
      throw std::invalid_argument("the infrared channel must have the picture's size");
    std::vector<uint8_t> found(n, 0);
    MarkInfrared(*infrared, options.sensitivity, found.data());
    Dilate(found.data(), picture.width, picture.height, options.infrared_dilation);
    for (size_t i = 0; i < n; ++i) mask[i] |= found[i];
  }
}

}  // namespace pw::detect
