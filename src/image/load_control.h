// What one read of a file may cost, and why a reader gave up. Every reader
// admits the size a file declares through Admit before it allocates for
// the pixels, and polls Stopped while it decodes, so that a hostile header
// is refused at once and a long decode ends soon after the caller asks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Common {

enum class LoadFailure {
  None,
  TooLarge,  // declared sizes over the pixel limit or the size limits
  Stopped,   // the caller's stop check asked to end the read
  Refused,   // a file of a kind the reader does not take (refusal() says why)
};

class LoadControl {
 public:
  LoadControl();

  // Decode gray files as RGB where the codec converts on the way (PNG,
  // JPEG), for an image that is made RGB anyway: no second copy.
  bool prefer_rgb = false;

  // Keep 16-bit samples where the format holds them (PNG, TIFF, PPM with
  // a maximum above 255); otherwise they are read as their high byte.
  bool keep_wide = false;

  // The most pixels admitted; MaxImagePixels() unless set.
  int64_t max_pixels;

  // Asked about every 50 ms while a reader decodes; true ends the read.
  std::function<bool()> stop;

  // Bytes of the pixel block of a width x height image of `channels`
  // samples per pixel with rows padded to 4 bytes, or -1 when any size is
  // negative or the image is too large (failure() is then TooLarge and
  // the declared sizes are kept).
  int64_t Admit(int64_t width, int64_t height, int64_t channels);

  // Polled by the readers, cheap between the actual checks.
  bool Stopped();

  // A reader that recognised the file but does not take it says why, in
  // a sentence for the user (failure() is then Refused).
  void Refuse(const std::string& why) {
    failure_ = LoadFailure::Refused;
    refusal_ = why;
  }
  const std::string& refusal() const { return refusal_; }

  // A reader that read the file but recovered from damage in it says what
  // the library reported, one line each, for the caller to show.
  void Warn(const std::string& what) { warnings_.push_back(what); }
  const std::vector<std::string>& warnings() const { return warnings_; }

  LoadFailure failure() const { return failure_; }
  int64_t declared_width() const { return declared_width_; }
  int64_t declared_height() const { return declared_height_; }

 private:
  LoadFailure failure_ = LoadFailure::None;
  int64_t declared_width_ = 0;
  int64_t declared_height_ = 0;
  std::string refusal_;
  std::vector<std::string> warnings_;
  std::chrono::steady_clock::time_point next_poll_;
};

}  // namespace Common
