#include "detect/image_damage.h"

#include <stdexcept>
#include <vector>

#include "detect/find_damage.h"

namespace pw::detect {

void AddFoundDamage(const Common::CImage& picture, unsigned kinds, double sensitivity,
                    uint8_t* mask) {
  const PictureView view{picture.pixels, picture.width, picture.height,
                                 picture.channels, picture.depth, picture.stride};
  const auto& ir = picture.metadata.infrared;
  if ((kinds & kInfrared) &&
      (!ir || ir->size() != static_cast<size_t>(picture.width) * picture.height))
    throw std::invalid_argument(
        "kind 'infrared' needs an infrared channel: an RGB TIFF scan whose fourth "
        "sample is not alpha (RGBI)");
  const PictureView infrared{ir ? ir->data() : nullptr, picture.width,
                                     picture.height, 1, 16,
                                     static_cast<ptrdiff_t>(picture.width) * 2};
  FindOptions options;
  options.kinds = kinds;
  options.sensitivity = sensitivity;
  const size_t n = static_cast<size_t>(picture.width) * picture.height;
  std::vector<uint8_t> found(n);
  FindDamage(view, (kinds & kInfrared) ? &infrared : nullptr, options,
                     found.data());
  for (size_t i = 0; i < n; ++i) mask[i] |= found[i];
}

}  // namespace pw::detect
