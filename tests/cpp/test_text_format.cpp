// The text image format: header, separators, value rules, planes.
#include <gtest/gtest.h>

#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::ImageFormat;

bool LoadText(CImage& image, const std::string& text) {
  return LoadBytes(image, AsBytes(text), ImageFormat::Text);
}

std::vector<int> Row(const CImage& image, int y) {
  std::vector<int> out;
  for (int x = 0; x < image.width; ++x) out.push_back(image.GetGray(x, y));
  return out;
}

TEST(TextFormat, SeparatorsAndValueRules) {
  const char* same[] = {
      "NHORZ 2\r\nNVERT 2\r\n1\t2\t\r\n3\t4\t\r\n",  // as the writer writes it
      "NHORZ 2\nNVERT 2\n1,2\n3,4\n",
      "NHORZ 2\nNVERT 2\n1 2\n3 4\n",
      "NHORZ 2\nNVERT 2\n\n\r\n(1) [2]\n{3}; \"4\"!?\n",
      "NHORZ 2\nNVERT 2\n+1 2abc\n3 4\n",
      "NHORZ 2\nNVERT 2 1 2\n3 4",  // values right after the height
      "\xEF\xBB\xBFNHORZ 2\nNVERT 2\n1 2\n3 4\n",
  };
  for (const char* text : same) {
    CImage image;
    ASSERT_TRUE(LoadText(image, text)) << text;
    EXPECT_EQ(image.channels, 1);
    EXPECT_EQ(Row(image, 0), (std::vector<int>{1, 2})) << text;
    EXPECT_EQ(Row(image, 1), (std::vector<int>{3, 4})) << text;
  }
  CImage image;
  ASSERT_TRUE(LoadText(image, "NHORZ 3\nNVERT 1\n300 -5 7\n"));
  EXPECT_EQ(Row(image, 0), (std::vector<int>{44, 5, 7}));
  ASSERT_TRUE(LoadText(image, "NHORZ 2\nNVERT 1\n2.7\nanything after"));
  EXPECT_EQ(Row(image, 0), (std::vector<int>{2, 7}));
}

TEST(TextFormat, RefusesMalformedFiles) {
  const char* bad[] = {
      "",
      "NHORZ 2\nNVERT\n",
      "nhorz 2\nNVERT 1\n1 2\n",           // the words are case-sensitive
      "NHORZ 2 NVERT 2\n1 2\n",            // too few lines
      "NHORZ 2\nNVERT 1\n1 2 3\n",         // too many values
      "NHORZ 2\nNVERT 1\n1\n",             // too few values
      "NHORZ 2\nNVERT 1\n1 x2\n",          // not a number
      "NHORZ 2\nNVERT 1\n1 +\n",           // a sign alone
      "NHORZ 2\nNVERT 1\n1 2147483648\n",  // over 32 bits
      "NHORZ -2\nNVERT 1\n1 2\n",          // negative width
      "NHORZ 0\nNVERT 1\n\n",              // empty image on a fresh CImage
  };
  for (const char* text : bad) {
    CImage image;
    EXPECT_FALSE(LoadText(image, text)) << text;
  }
}

TEST(TextFormat, WidthLimitIs16384) {
  std::string line;
  for (int i = 0; i < 16384; ++i) line += "1 ";
  CImage image;
  EXPECT_TRUE(LoadText(image, "NHORZ 16384\nNVERT 1\n" + line + "\n"));
  EXPECT_EQ(image.width, 16384);
  EXPECT_FALSE(LoadText(image, "NHORZ 16385\nNVERT 1\n" + line + "1\n"));
}

// The header is checked first and the body read as it comes: a wrong
// header, or a body longer than the rows announced, is refused after a
// small part of a large file, and what follows the last row is not read.
TEST(TextFormat, ReadsOnlyWhatTheHeaderAnnounces) {
  const std::string tail(8 << 20, ' ');
  const struct {
    std::string text;
    bool loads;
  } cases[] = {
      {"NHORZ x\n" + tail, false},
      {"NHORZ 2\nNVERT 1\n1" + tail + "2\n", false},
      {"NHORZ 2\nNVERT 1\n1 2\n" + tail, true},
  };
  for (const auto& c : cases) {
    FILE* stream = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "rb");
    ASSERT_NE(stream, nullptr);
    CImage image;
    EXPECT_EQ(Common::LoadImage(image, stream, ImageFormat::Text), c.loads);
    EXPECT_LT(std::ftell(stream), 1 << 20) << c.text.substr(0, 20);
    std::fclose(stream);
  }
}

TEST(TextFormat, Utf16FilesAreConverted) {
  const std::string utf8 = "NHORZ 2\r\nNVERT 1\r\n5\t6\t\r\n";
  for (bool big_mark : {false, true}) {
    std::string utf16 = big_mark ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : utf8) {
      utf16 += c;
      utf16 += '\0';
    }
    CImage image;
    ASSERT_TRUE(LoadText(image, utf16));
    EXPECT_EQ(Row(image, 0), (std::vector<int>{5, 6}));
  }
}

TEST(TextFormat, WritesOnePlanePerChannelAndReadsBackTheFirst) {
  CImage rgb;
  ASSERT_TRUE(rgb.Create(3, 1, 3));
  const uint8_t px[3][3] = {{1, 2, 3}, {40, 50, 60}, {255, 0, 9}};
  for (int x = 0; x < 3; ++x) rgb.SetPixel(x, 0, px[x]);
  const std::string text = AsText(SaveBytes(rgb, ImageFormat::Text));
  EXPECT_EQ(text,
            "NHORZ 3\r\nNVERT 1\r\n"
            "1\t40\t255\t\r\n\r\n"
            "2\t50\t0\t\r\n\r\n"
            "3\t60\t9\t\r\n\r\n");
  CImage back;
  ASSERT_TRUE(LoadText(back, text));
  EXPECT_EQ(back.channels, 1);
  EXPECT_EQ(Row(back, 0), (std::vector<int>{1, 40, 255}));
}

TEST(CArrayFormat, WritesOneLinePerRow) {
  CImage rgb;
  ASSERT_TRUE(rgb.Create(1, 1, 3));
  const uint8_t px[3] = {10, 20, 30};
  rgb.SetPixel(0, 0, px);
  EXPECT_EQ(AsText(SaveBytes(rgb, ImageFormat::CArray)),
            "const unsigned char ___image [1 * 1 * 3] = \r\n{ \r\n"
            "\t10  ,20  ,30  , \r\n"
            "}; \r\n");
  CImage gray;
  ASSERT_TRUE(gray.Create(2, 2, 1));
  for (int i = 0; i < 4; ++i) {
    const uint8_t v = static_cast<uint8_t>(i * 100);
    gray.SetGray(i % 2, i / 2, &v);
  }
  EXPECT_EQ(AsText(SaveBytes(gray, ImageFormat::CArray)),
            "const unsigned char ___image [2 * 2 * 1] = \r\n{ \r\n"
            "\t0   , 100 , \r\n"
            "\t200 , 44  , \r\n"
            "}; \r\n");
}

}  // namespace
}  // namespace imagetest
