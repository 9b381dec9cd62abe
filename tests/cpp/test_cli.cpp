// The command line of the tool and its progress line.
#include <gtest/gtest.h>

#include "cli/cli_options.h"
#include "cli/progress_bar.h"

namespace pw::cli {
namespace {

bool Parse(std::vector<std::string> args, CliOptions& options,
           std::string& error) {
  options = CliOptions();
  error.clear();
  return ParseCommandLine(args, options, error);
}

TEST(CommandLine, DefaultsAndEveryOptionForm) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"photo.jpg", "mask.png"}, o, error));
  EXPECT_EQ(o.image, "photo.jpg");
  EXPECT_EQ(*o.mask, "mask.png");
  EXPECT_FALSE(o.output);
  EXPECT_EQ(o.radius, 3);
  EXPECT_EQ(o.method, kMethodAuto);
  EXPECT_EQ(o.device, Backend::Auto);
  EXPECT_TRUE(o.search_radius_default && !o.search_radius);

  ASSERT_TRUE(Parse({"-o", "out.png", "-r", "3", "-m", "cpu", "--device",
                     "cpu", "-q", "a.bmp", "b.bmp"}, o, error));
  EXPECT_EQ(*o.output, "out.png");
  EXPECT_EQ(o.radius, 3);
  EXPECT_EQ(o.method, kMethodCpu);
  EXPECT_EQ(o.device, Backend::Cpu);
  EXPECT_TRUE(o.quiet);

  ASSERT_TRUE(Parse({"a.bmp", "--output=x.ppm", "--radius=0", "-mgpu-fast",
                     "--device=cuda", "--verbose", "b.bmp"}, o, error));
  EXPECT_EQ(*o.output, "x.ppm");
  EXPECT_EQ(o.radius, 0);
  EXPECT_EQ(o.method, kMethodGpuFast);
  EXPECT_EQ(o.device, Backend::Cuda);
  EXPECT_TRUE(o.verbose);

  // The whole picture, a number, the default again; auto needs a radius.
  ASSERT_TRUE(Parse({"a.bmp", "--search-radius", "all", "-m", "exhaustive"}, o, error));
  EXPECT_TRUE(!o.search_radius_default && !o.search_radius && o.method == kMethodGpu);
  ASSERT_TRUE(Parse({"a.bmp", "--search-radius=30", "--search-radius", "auto"}, o, error));
  EXPECT_TRUE(o.search_radius_default && !o.search_radius);
  EXPECT_FALSE(Parse({"a.bmp", "-r", "0", "-m", "auto"}, o, error));
  EXPECT_EQ(error, "method auto needs a radius of 1 or more: a window of one pixel holds no "
                   "known pixel to compare");

  ASSERT_TRUE(Parse({"--", "-odd.png", "mask.png"}, o, error));
  EXPECT_EQ(o.image, "-odd.png");
  EXPECT_EQ(o.quality, 80);
  EXPECT_FALSE(o.max_pixels);
  ASSERT_TRUE(Parse({"cut.jpg", "--quality", "95", "--max-pixels=1000"}, o, error));
  EXPECT_FALSE(o.mask);  // the holes come from the alpha channel
  EXPECT_EQ(o.quality, 95);
  EXPECT_EQ(*o.max_pixels, 1000);
  ASSERT_TRUE(Parse({"--help"}, o, error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(Parse({"--version"}, o, error));
  EXPECT_TRUE(o.version);
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
  CliOptions o;
  std::string error;
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"a.png", "b.png", "c.png"},
      {"a.png", "--quality", "0"},
      {"a.png", "--quality", "101"},
      {"a.jpg", "-o", "b.png", "--quality", "90"},  // PNG has no quality
      {"a.png", "--max-pixels", "0"},
      {"a.png", "--max-pixels", "1e9"},
      {"a.png", "b.png", "-r", "128"},
      {"a.png", "b.png", "-r", "-1"},
      {"a.png", "b.png", "-r", "seven"},
      {"a.png", "b.png", "-m", "pruned"},
      {"a.png", "b.png", "--device", "cuda:"},
      {"a.png", "b.png", "--device", "cuda:-1"},
      {"a.png", "b.png", "--device", "gpu"},
      {"a.png", "b.png", "-o"},
      {"a.png", "b.png", "-o", ""},
      {"a.png", "b.png", "-x"},
      {"a.png", "b.png", "-v", "-q"},
      {"a.png", "b.png", "--quiet=yes"},
  };
  for (const auto& args : bad) {
    EXPECT_FALSE(Parse(args, o, error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
  Parse({"a.png", "b.png", "-x"}, o, error);
  EXPECT_EQ(error, "unknown option '-x'");
}

TEST(ProgressLine, ShowsPercentElapsedAndTimeLeft) {
  EXPECT_EQ(FormatProgressLine(0, 0),
            "[------------------------------]   0%  elapsed 0:00  left --:--");
  EXPECT_EQ(FormatProgressLine(50, 5000),
            "[###############---------------]  50%  elapsed 0:05  left 0:05");
  EXPECT_EQ(FormatProgressLine(100, 61000),
            "[##############################] 100%  elapsed 1:01  left 0:00");
  EXPECT_EQ(FormatDuration(3723000), "1:02:03");
}

}  // namespace
}  // namespace pw::cli
