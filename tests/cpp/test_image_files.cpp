// Load and Save by extension, on disk, and the round trips of every format
// that is both written and read.
#include <gtest/gtest.h>

#include <cstring>

#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::FindExtension;
using Common::ImageFormat;
using Common::LoadFormatFor;
using Common::SaveFormatFor;

TEST(ImageFiles, ExtensionRules) {
  EXPECT_EQ(FindExtension("photo.Png").value(), ".Png");
  EXPECT_EQ(Common::FindUpperExtension("photo.Png").value(), ".PNG");
  EXPECT_EQ(FindExtension("C:\\pictures\\scan.old.png").value(), ".png");
  EXPECT_FALSE(FindExtension("dir.old\\name"));
  EXPECT_FALSE(FindExtension("dir.old/name"));
  EXPECT_FALSE(FindExtension(".png"));
  EXPECT_FALSE(FindExtension(""));
  EXPECT_EQ(FindExtension("name.").value(), ".");
  EXPECT_EQ(FindExtension("dir/.png").value(), ".png");

  EXPECT_EQ(LoadFormatFor("photo.Png"), ImageFormat::Png);
  EXPECT_EQ(LoadFormatFor("PHOTO.PNG"), ImageFormat::Png);
  EXPECT_EQ(LoadFormatFor("a.jpeg"), ImageFormat::Jpeg);
  EXPECT_EQ(SaveFormatFor("a.jpeg"), ImageFormat::None);
  EXPECT_EQ(SaveFormatFor("a.JPG"), ImageFormat::Jpeg);
  EXPECT_EQ(LoadFormatFor("a.dat"), ImageFormat::Text);
  for (const char* writeOnly : {"a.pgm", "a.pbm", "a.cpp", "a.cxx"}) {
    EXPECT_EQ(LoadFormatFor(writeOnly), ImageFormat::None) << writeOnly;
    EXPECT_NE(SaveFormatFor(writeOnly), ImageFormat::None) << writeOnly;
  }
  for (const char* none : {"name.", ".png", "a.gif", "a.tif", "noext"}) {
    EXPECT_EQ(LoadFormatFor(none), ImageFormat::None) << none;
    EXPECT_EQ(SaveFormatFor(none), ImageFormat::None) << none;
  }
}

TEST(ImageFiles, RoundTripsOfEveryReadableFormat) {
  ScratchDir dir;
  CImage rgb;
  FillPattern(rgb, 5, 3, 3);  // 15-byte rows padded to 16
  for (const char* name : {"a.png", "b.BMP", "c.ppm", "d.txt", "e.dat"}) {
    ASSERT_TRUE(Common::Save(rgb, dir / name)) << name;
    CImage back;
    ASSERT_TRUE(back.Load(dir / name)) << name;
    ASSERT_EQ(back.width, 5);
    ASSERT_EQ(back.height, 3);
    const bool text = back.channels == 1;  // the text formats keep red
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        uint8_t a[4], b[4];
        rgb.GetRgba(x, y, a);
        back.GetRgba(x, y, b);
        EXPECT_EQ(a[0], b[0]) << name;
        if (!text) {
          EXPECT_EQ(std::memcmp(a, b, 3), 0) << name;
        }
      }
  }
  ASSERT_TRUE(Common::Save(rgb, dir / "f.jpg"));
  CImage jpeg;
  ASSERT_TRUE(jpeg.Load(dir / "f.jpg"));
  EXPECT_EQ(jpeg.width, 5);
  CImage loadedAsJpeg;
  ASSERT_EQ(std::rename((dir / "f.jpg").c_str(), (dir / "f.JPEG").c_str()), 0);
  EXPECT_TRUE(loadedAsJpeg.Load(dir / "f.JPEG"));
}

TEST(ImageFiles, SaveRefusals) {
  ScratchDir dir;
  CImage rgb, empty;
  FillPattern(rgb, 2, 2, 3);
  EXPECT_FALSE(Common::Save(empty, dir / "x.png"));
  EXPECT_FALSE(FileExists(dir / "x.png"));
  EXPECT_FALSE(Common::Save(rgb, dir / "x.jpeg"));
  EXPECT_FALSE(Common::Save(rgb, dir / "x.xyz"));
  EXPECT_FALSE(FileExists(dir / "x.xyz"));
  EXPECT_FALSE(Common::Save(rgb, dir / "missing/x.png"));
  EXPECT_FALSE(Common::Save(rgb, dir.path()));  // no extension
  EXPECT_TRUE(Common::Save(rgb, dir / "x.pgm"));
  EXPECT_TRUE(Common::Save(rgb, dir / "x.pbm"));
  EXPECT_TRUE(Common::Save(rgb, dir / "x.cxx"));
  CImage back;
  EXPECT_FALSE(back.Load(dir / "x.pgm"));  // write-only formats
  EXPECT_FALSE(back.Load(dir / "x.cxx"));
}

TEST(ImageFiles, LoadRefusals) {
  ScratchDir dir;
  CImage image;
  EXPECT_FALSE(image.Load(dir / "absent.png"));
  EXPECT_FALSE(image.Load(dir.path() + "/.png"));
  ASSERT_EQ(mkdir((dir / "folder.png").c_str(), 0755), 0);
  EXPECT_FALSE(image.Load(dir / "folder.png"));
  samples::WriteFile(dir / "real.png", samples::Png(2, 2, 2));
  EXPECT_TRUE(image.Load(dir / "real.png"));
  EXPECT_FALSE(image.Load(dir / "real.png" + std::string(1, '\0') + "x"));
  // A PNG under another extension is read as that format: the content
  // never picks the format.
  samples::WriteFile(dir / "real.bmp", samples::Png(2, 2, 2));
  EXPECT_FALSE(image.Load(dir / "real.bmp"));
}

}  // namespace
}  // namespace imagetest
