#include "python/detect_bindings.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>
#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "detect/find_damage.h"
#include "detect/lines.h"
#include "detect/dust_features.h"
#include "detect/dust_regions.h"

namespace py = pybind11;

namespace pw::python {
namespace {

// A view of a C-contiguous uint8 or uint16 array of two or three axes.
detect::PictureView View(const py::array& a, const char* name) {
  const bool eight = py::isinstance<py::array_t<uint8_t>>(a);
  if (!eight && !py::isinstance<py::array_t<uint16_t>>(a))
    throw py::type_error(std::string(name) + " must be uint8 or uint16");
  if (a.ndim() != 2 && a.ndim() != 3)
    throw py::value_error(std::string(name) + " must have two or three axes");
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(name) + " must be C-contiguous");
  detect::PictureView v;
  v.pixels = a.data();
  v.height = static_cast<int32_t>(a.shape(0));
  v.width = static_cast<int32_t>(a.shape(1));
  v.channels = a.ndim() == 3 ? static_cast<int32_t>(a.shape(2)) : 1;
  v.bits = eight ? 8 : 16;
  v.row_bytes = static_cast<ptrdiff_t>(v.width) * v.channels * (eight ? 1 : 2);
  return v;
}

// A picture the training entries take: what the finder itself would.
detect::PictureView TrainingView(const py::array& image) {
  const detect::PictureView picture = View(image, "image");
  if (picture.width < 1 || picture.height < 1 ||
      (picture.channels != 1 && picture.channels != 3 && picture.channels != 4))
    throw py::value_error("image must be non-empty, with 1, 3 or 4 channels");
  return picture;
}

// Groups of pixels the finders judge (dust regions, line runs) as their
// features, one row each, and a map of group numbers (from 1; 0 for none).
template <typename Group>
py::tuple FeaturesAndMap(const std::vector<Group>& groups, const detect::PictureView& picture) {
  constexpr auto count = static_cast<int64_t>(std::tuple_size_v<decltype(Group::features)>);
  py::array_t<float> features({static_cast<int64_t>(groups.size()), count});
  py::array_t<int32_t> map({picture.height, picture.width});
  std::fill(map.mutable_data(), map.mutable_data() + map.size(), 0);
  for (size_t r = 0; r < groups.size(); ++r) {
    std::copy(groups[r].features.begin(), groups[r].features.end(),
              features.mutable_data() + r * count);
    for (size_t i : groups[r].pixels) map.mutable_data()[i] = static_cast<int32_t>(r + 1);
  }
  return py::make_tuple(features, map);
}

py::array_t<bool> FindDamageEntry(const py::array& image,
                                  const std::optional<py::array>& infrared, unsigned kinds,
                                  double sensitivity, int max_speck, int max_width,
                                  int min_length, int dilation, int infrared_dilation) {
  const detect::PictureView picture = View(image, "image");
  std::optional<detect::PictureView> ir;
  if (infrared) ir = View(*infrared, "infrared");
  detect::FindOptions options;
  options.kinds = kinds;
  options.sensitivity = sensitivity;
  options.max_speck = max_speck;
  options.max_width = max_width;
  options.min_length = min_length;
  options.dilation = dilation;
  options.infrared_dilation = infrared_dilation;
  py::array_t<bool> mask({picture.height, picture.width});
  auto* out = reinterpret_cast<uint8_t*>(mask.mutable_data());
  try {
    py::gil_scoped_release unlocked;
    detect::FindDamage(picture, ir ? &*ir : nullptr, options, out);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
  return mask;
}

// What the dust model sees of each candidate pixel (NaN elsewhere): the
// training data of the model, read through the very code that serves it.
py::array_t<float> SpeckFeaturesEntry(const py::array& image) {
  const detect::PictureView picture = TrainingView(image);
  const size_t n = static_cast<size_t>(picture.width) * picture.height;
  py::array_t<float> out({picture.height, picture.width, int32_t{detect::kSpeckFeatureCount}});
  float* f = out.mutable_data();
  try {
    py::gil_scoped_release unlocked;
    std::fill(f, f + n * detect::kSpeckFeatureCount, std::nanf(""));
    const detect::SpeckPlanes planes = detect::MakeSpeckPlanes(picture);
    const std::vector<uint8_t> pick = detect::SpeckCandidates(planes);
    detect::ForRowBands(picture.height, [&](int32_t y0, int32_t y1) {
      detect::ForSpeckFeatures(planes, y0, y1, pick.data(), [&](size_t i, const float* x) {
        std::copy(x, x + detect::kSpeckFeatureCount, f + i * detect::kSpeckFeatureCount);
      });
    });
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
  return out;
}

// The regions the dust finder proposes (before the region model judges
// them), over the pixels the pixel model grew them on, for training it.
py::tuple DustRegionsEntry(const py::array& image, int max_speck) {
  const detect::PictureView picture = TrainingView(image);
  if (max_speck < 1 || max_speck > 64) throw py::value_error("max_speck out of range");
  std::vector<detect::DustRegion> regions;
  {
    py::gil_scoped_release unlocked;
    regions = detect::ProposeDustRegions(picture, max_speck);
  }
  return FeaturesAndMap(regions, picture);
}

// The runs the line finder considers (both polarities, before the line
// model judges them), for training it.
py::tuple LineRunsEntry(const py::array& image, int max_width, int min_length,
                        double sensitivity) {
  const detect::PictureView picture = TrainingView(image);
  if (max_width < 1 || max_width > 16 || min_length < 1 || !(sensitivity > 0))
    throw py::value_error("max_width, min_length or sensitivity out of range");
  std::vector<detect::LineRun> runs;
  {
    py::gil_scoped_release unlocked;
    const detect::LineInputs lines = detect::ReadLines(picture, max_width);
    for (const bool dark : {true, false})
      for (auto& run : detect::FindLineRuns(lines, dark, min_length, sensitivity))
        runs.push_back(std::move(run));
  }
  return FeaturesAndMap(runs, picture);
}

}  // namespace

void BindDetect(py::module_& m) {
  m.attr("_FIND_DUST") = static_cast<unsigned>(detect::kDust);
  m.attr("_FIND_SCRATCHES") = static_cast<unsigned>(detect::kScratches);
  m.attr("_FIND_INFRARED") = static_cast<unsigned>(detect::kInfrared);
  m.def("_find_damage", &FindDamageEntry, py::arg("image"), py::arg("infrared"),
        py::arg("kinds"), py::kw_only(), py::arg("sensitivity"), py::arg("max_speck"),
        py::arg("max_width"), py::arg("min_length"), py::arg("dilation"),
        py::arg("infrared_dilation"),
        "patchwell.find_damage on C-contiguous arrays: a bool mask, True at damage.");
  m.def("_speck_features", &SpeckFeaturesEntry, py::arg("image"),
        "The dust model's features of each candidate pixel, NaN elsewhere (for training).");
  m.def("_dust_regions", &DustRegionsEntry, py::arg("image"), py::arg("max_speck") = 15,
        "The dust finder's regions before the region model: (features, region map) "
        "(for training).");
  m.def("_line_runs", &LineRunsEntry, py::arg("image"), py::arg("max_width") = 4,
        py::arg("min_length") = 15, py::arg("sensitivity") = 1.0,
        "The line finder's runs before the line model: (features, run map) (for training).");
}

}  // namespace pw::python
