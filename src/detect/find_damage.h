// Finding the damage of a scanned photograph: dust specks, scratches and
// fibres from the picture itself, and dust and hairs from a film scanner's
// infrared channel. The result is a mask for the fill (1 marks damage).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pw::detect {

enum Kind : unsigned {
  kDust = 1u,       // small compact specks, dark or bright
  kScratches = 2u,  // thin lines and fibres, straight or curved, dark or bright
  kInfrared = 4u,   // where the infrared channel drops below its local level
};

// A picture in memory: interleaved samples of 1 (gray), 3 (RGB) or 4
// (RGBA, alpha ignored) channels, 8 or 16 bits, rows `row_bytes` apart.
struct PictureView {
  const void* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  int32_t bits = 8;
  ptrdiff_t row_bytes = 0;
};

struct FindOptions {
  unsigned kinds = kDust | kScratches;
  // Above 1 finds fainter damage (and more false alarms), below 1 less.
  double sensitivity = 1.0;
  int32_t max_speck = 15;   // the largest speck diameter looked for, pixels
  int32_t max_width = 4;    // the widest scratch, pixels
  int32_t min_length = 15;  // the shortest scratch or fibre, pixels
  int32_t dilation = 1;     // pixels added around what is found
  int32_t infrared_dilation = 1;
};

// Throws std::invalid_argument for views it cannot read (the message says
// which); `mask` receives width * height bytes, 1 for damage, 0 elsewhere.
// `infrared` is a one-channel view of the picture's size, needed for
// kInfrared and ignored otherwise. Deterministic for any thread count.
void FindDamage(const PictureView& picture, const PictureView* infrared,
                const FindOptions& options, uint8_t* mask);

}  // namespace pw::detect
