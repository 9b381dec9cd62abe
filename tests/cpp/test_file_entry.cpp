// The file entry: output names, every message, what is written and what
// is not, and padded rows handed to the driver intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_limits.h"
#include "image_test_util.h"
#include "inpaint/driver.h"
#include "inpaint/file_entry.h"

namespace pw {
namespace {

using imagetest::FileExists;
using imagetest::ScratchDir;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

TEST(OutputName, InsertsInpaintBeforeTheExtension) {
  // The name, what it becomes ("" when it has no extension: left as it is).
  const std::pair<std::string, std::string> cases[] = {
      {"photo.jpg", "photo_inpaint.jpg"},
      {"C:\\pictures\\scan.old.png", "C:\\pictures\\scan.old_inpaint.png"},
      {"/tmp/Photo.JPeG", "/tmp/Photo_inpaint.JPeG"},
      {"noext", ""},
      {"dir.old/name", "dir_inpaint"}};  // the '.' of a folder
  for (const auto& [given, made] : cases) {
    std::string name = given;
    EXPECT_EQ(MakeOutputName(name), !made.empty()) << given;
    EXPECT_EQ(name, made.empty() ? given : made);
  }
  const std::string given = "result.png", empty;
  EXPECT_EQ(ChooseOutputName("a/photo.ppm", &given), "result.png");
  EXPECT_EQ(ChooseOutputName("a/photo.ppm", &empty), "a/photo_inpaint.ppm");
  EXPECT_EQ(ChooseOutputName("a/photo.ppm", nullptr), "a/photo_inpaint.ppm");
}

class FileEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.inpaint.backend = Backend::Cpu;
    options_.inpaint.escape_key = false;
  }

  // A w x h RGB picture saved under name, with its pattern.
  std::string Picture(const std::string& name, int w, int h) {
    Common::CImage image;
    imagetest::FillPattern(image, w, h, 3);
    EXPECT_TRUE(Common::Save(image, dir_ / name));
    return dir_ / name;
  }

  // A w x h gray mask with the given pixels bright (200) and the rest 100.
  std::string Mask(const std::string& name, int w, int h,
                   const std::vector<std::pair<int, int>>& holes) {
    Common::CImage mask;
    EXPECT_TRUE(mask.Create(w, h, 3));
    const uint8_t dark = 100, bright = 200;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) mask.SetGray(x, y, &dark);
    for (auto [x, y] : holes) mask.SetGray(x, y, &bright);
    EXPECT_TRUE(Common::Save(mask, dir_ / name));
    return dir_ / name;
  }

  bool Run(const std::string& image, const std::string& mask,
           const std::string* out, std::string& printed, bool verbose = false) {
    CaptureStdout();
    const bool ok = InpaintFile(image, mask, out, 1, kMethodGpu, verbose, options_);
    printed = GetCapturedStdout();
    return ok;
  }

  ScratchDir dir_;
  FileRunOptions options_;
};

TEST_F(FileEntry, MessagesOfUnusableInputs) {
  const std::string image = Picture("photo.ppm", 6, 4);
  const std::string mask = Mask("mask.bmp", 6, 4, {{2, 2}});
  std::string printed;
  CaptureStderr();
  EXPECT_FALSE(Run(dir_ / "absent.png", mask, nullptr, printed));
  EXPECT_EQ(printed, "Error openning image: " + (dir_ / "absent.png") + "\n");
  EXPECT_FALSE(Run(image, dir_ / "absent.png", nullptr, printed));
  EXPECT_EQ(printed, "Error openning mask: " + (dir_ / "absent.png") + "\n");
  // The system's reason goes to standard error.
  EXPECT_EQ(GetCapturedStderr(),
            "patchwell: cannot read image '" + (dir_ / "absent.png") +
                "': No such file or directory\npatchwell: cannot read mask '" +
                (dir_ / "absent.png") + "': No such file or directory\n");

  const std::string small = Mask("small.bmp", 5, 4, {{2, 2}});
  EXPECT_FALSE(Run(image, small, nullptr, printed));
  EXPECT_EQ(printed, "Error openning mask: " + small + "\n");
  EXPECT_FALSE(FileExists(dir_ / "photo_inpaint.ppm"));

  const std::string dark = Mask("dark.bmp", 6, 4, {});
  EXPECT_FALSE(Run(image, dark, nullptr, printed));
  EXPECT_EQ(printed, "Nothing to inpaint!");
  EXPECT_FALSE(FileExists(dir_ / "photo_inpaint.ppm"));
}

TEST_F(FileEntry, AnUnwritableOutputFailsBeforeTheRun) {
  const std::string image = Picture("photo.ppm", 6, 4);
  const std::string mask = Mask("mask.bmp", 6, 4, {{2, 2}});
  std::string printed;
  for (const std::string& out : {dir_ / "out.xyz", dir_ / "missing/out.png"}) {
    EXPECT_FALSE(Run(image, mask, &out, printed, true));
    EXPECT_EQ(printed, "Error saving image: " + out + "\n");  // nothing ran
  }
  // A .jpeg input gets a .jpeg output, in upper case too.
  EXPECT_TRUE(Run(Picture("photo.JPEG", 6, 4), mask, nullptr, printed));
  Common::CImage pic;
  EXPECT_TRUE(pic.Load(dir_ / "photo_inpaint.JPEG"));
}

// Inputs over the pixel limit are refused from their header and a stop
// request ends the reading.
TEST_F(FileEntry, PixelLimitsAndStopRequests) {
  const std::string image = Picture("photo.png", 6, 4);
  const std::string mask = Mask("mask.png", 6, 4, {{2, 2}});
  const std::string small = Mask("small.png", 5, 4, {{2, 2}});
  const int64_t limit = Common::MaxImagePixels();
  Common::SetMaxImagePixels(23);
  FileRunResult r = RunFileInpaint(image, mask, nullptr, 1, kMethodGpu, false, options_);
  EXPECT_EQ(r.status, FileRunStatus::ImageTooLarge);
  EXPECT_EQ(r.declared_width, 6);
  EXPECT_EQ(r.declared_height, 4);
  Common::SetMaxImagePixels(24);
  r = RunFileInpaint(image, mask, nullptr, 1, kMethodGpu, false, options_);
  EXPECT_EQ(r.status, FileRunStatus::Saved);
  Common::SetMaxImagePixels(limit);

  options_.stop_requested = [] { return true; };
  r = RunFileInpaint(image, mask, nullptr, 1, kMethodGpu, false, options_);
  EXPECT_EQ(r.status, FileRunStatus::Abandoned);
  options_.stop_requested = nullptr;

  r = RunFileInpaint(image, small, nullptr, 1, kMethodGpu, false, options_);
  EXPECT_EQ(r.status, FileRunStatus::MaskSizeDiffers);
}

TEST_F(FileEntry, WritesNextToTheImageOrUnderTheGivenName) {
  const std::string image = Picture("photo.ppm", 6, 4);
  const std::string mask = Mask("mask.bmp", 6, 4, {{2, 2}, {3, 1}});
  std::string printed;
  ASSERT_TRUE(Run(image, mask, nullptr, printed));
  EXPECT_EQ(printed, "");
  Common::CImage out;
  ASSERT_TRUE(out.Load(dir_ / "photo_inpaint.ppm"));
  EXPECT_EQ(out.width, 6);

  const std::string png = dir_ / "result.png";
  ASSERT_TRUE(Run(image, mask, &png, printed, true));
  EXPECT_NE(printed.find("Output Image:       " + png + "\n"), std::string::npos)
      << printed;
  const samples::Bytes bytes = samples::ReadFile(png);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes[1], 'P');  // a PNG, whatever the input's format
}

TEST_F(FileEntry, PaddedRowsAreInpaintedIntact) {
  // 5 pixels wide: stored rows of 16 bytes, packed rows of 15.
  const int w = 5, h = 3;
  const std::string image = Picture("narrow.bmp", w, h);
  const std::string mask = Mask("mask.png", w, h, {{2, 1}, {4, 2}});
  const std::string out = dir_ / "out.ppm";
  std::string printed;
  ASSERT_TRUE(Run(image, mask, &out, printed));

  std::vector<uint8_t> packed(w * h * 3), bits(w * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        packed[(y * w + x) * 3 + c] = samples::SamplePattern(x, y, c);
  bits[1 * w + 2] = bits[2 * w + 4] = 1;
  ASSERT_TRUE(InpaintImage(packed.data(), bits.data(), w, h, 1, kMethodGpu,
                           false, options_.inpaint));
  Common::CImage result;
  ASSERT_TRUE(result.Load(out));
  for (int y = 0; y < h; ++y)
    EXPECT_EQ(std::memcmp(result.PixelAt(0, y), &packed[y * w * 3], w * 3), 0)
        << "row " << y;
}

// A gray picture (one channel, or gray+alpha read as RGBA with the gray
// flag) is filled through its rendition, gray repeated, and written back
// gray; the alpha of gray+alpha is repaired with the gray when the holes
// come from a mask file.
TEST_F(FileEntry, GrayPicturesStayGray) {
  const int w = 7, h = 5;
  const std::string mask = Mask("mask.png", w, h, {{3, 2}, {4, 2}});
  std::vector<uint8_t> rgb(w * h * 3), bits(w * h, 0);
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = samples::SamplePattern(i % w, i / w, 0);
  bits[2 * w + 3] = bits[2 * w + 4] = 1;
  ASSERT_TRUE(InpaintImage(rgb.data(), bits.data(), w, h, 1, kMethodGpu, false,
                           options_.inpaint));
  std::vector<int32_t> sources;
  options_.sources = &sources;
  for (const int channels : {1, 4}) {
    SCOPED_TRACE(channels);
    Common::CImage picture;
    ASSERT_TRUE(picture.Create(w, h, channels));
    picture.metadata.gray = true;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = picture.PixelAt(x, y);
        for (int c = 0; c < std::min(channels, 3); ++c) p[c] = samples::SamplePattern(x, y, 0);
        if (channels == 4) p[3] = static_cast<uint8_t>(130 + 17 * x + 3 * y);
      }
    const std::string name = dir_ / ("gray" + std::to_string(channels) + ".png");
    const std::string out = dir_ / "out.png";
    ASSERT_TRUE(Common::Save(picture, name));
    ASSERT_EQ(RunFileInpaint(name, mask, &out, 1, kMethodGpu, false, options_).status,
              FileRunStatus::Saved);
    Common::CImage result;
    Common::LoadControl control;
    ASSERT_TRUE(Common::LoadFile(result, out, control));
    ASSERT_EQ(result.channels, channels);
    EXPECT_TRUE(channels == 1 || result.metadata.gray);
    for (int i = 0; i < w * h; ++i) {
      const uint8_t* p = result.PixelAt(i % w, i / w);
      EXPECT_EQ(p[0], rgb[i * 3]) << i;
      int from = i;  // the pixel whose samples this one took
      while (sources[from] >= 0) from = sources[from];
      if (channels == 4) {
        EXPECT_EQ(p[3], picture.PixelAt(from % w, from / w)[3]) << i;
      }
    }
  }
}

TEST_F(FileEntry, AnAbandonedRunWritesNothing) {
  const std::string image = Picture("photo.ppm", 6, 4);
  const std::string mask = Mask("mask.bmp", 6, 4, {{2, 2}});
  options_.abandoned = [] { return true; };
  std::string printed;
  EXPECT_FALSE(Run(image, mask, nullptr, printed));
  EXPECT_FALSE(FileExists(dir_ / "photo_inpaint.ppm"));

  options_.abandoned = nullptr;
  options_.skip_empty_mask = true;
  const std::string dark = Mask("dark.bmp", 6, 4, {});
  CaptureStdout();
  const FileRunResult r = RunFileInpaint(image, dark, nullptr, 1, kMethodGpu,
                                         false, options_);
  EXPECT_EQ(GetCapturedStdout(), "");  // the caller reports it
  EXPECT_EQ(r.status, FileRunStatus::NothingToInpaint);
}

}  // namespace
}  // namespace pw
