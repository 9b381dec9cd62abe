// Load and Save by extension, on disk, and the round trips of every format
// that is both written and read.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/tiff_codec.h"
#include "image_test_util.h"

namespace imagetest {
namespace {

using Common::CImage;
using Common::FindExtension;
using Common::ImageFormat;
using Common::LoadFormatFor;
using Common::SaveFormatFor;

TEST(ImageFiles, ExtensionRules) {
  // The name, the extension it ends in ("-" for none), the format that
  // loads it and the one that saves it: the case of the extension does
  // not count, write-only formats load nothing.
  using F = ImageFormat;
  const struct {
    const char* name;
    const char* extension;
    F load, save;
  } cases[] = {{"photo.Png", ".Png", F::Png, F::Png},
               {"C:\\pictures\\scan.old.png", ".png", F::Png, F::Png},
               {"a.JPEG", ".JPEG", F::Jpeg, F::Jpeg},      {"a.JPG", ".JPG", F::Jpeg, F::Jpeg},
               {"a.dat", ".dat", F::Text, F::Text},        {"scan.TIF", ".TIF", F::Tiff, F::Tiff},
               {"scan.tiff", ".tiff", F::Tiff, F::Tiff},   {"a.WebP", ".WebP", F::Webp, F::Webp},
               {"a.pgm", ".pgm", F::None, F::Pgm},         {"a.pbm", ".pbm", F::None, F::Pbm},
               {"a.cpp", ".cpp", F::None, F::CArray},      {"a.cxx", ".cxx", F::None, F::CArray},
               {"dir/.png", ".png", F::Png, F::Png},       {"name.", ".", F::None, F::None},
               {"a.gif", ".gif", F::None, F::None},        {"a.tga", ".tga", F::None, F::None},
               {"dir.old\\name", "-", F::None, F::None}, {"dir.old/name", "-", F::None, F::None},
               {".png", "-", F::None, F::None},            {"", "-", F::None, F::None}};
  for (const auto& c : cases) {
    EXPECT_EQ(FindExtension(c.name).value_or("-"), c.extension) << c.name;
    EXPECT_EQ(LoadFormatFor(c.name), c.load) << c.name;
    EXPECT_EQ(SaveFormatFor(c.name), c.save) << c.name;
  }
  EXPECT_EQ(Common::FindUpperExtension("photo.Png").value(), ".PNG");
  // The lists that the command's help and the batch show come from the
  // same table as the formats.
  EXPECT_EQ(Common::FileExtensions(false, true),
            (std::vector<std::string>{".png", ".jpg", ".jpeg", ".tif", ".tiff", ".webp",
                                      ".bmp", ".ppm"}));
  for (bool saving : {false, true})
    for (const std::string& e : Common::FileExtensions(saving, false))
      EXPECT_NE((saving ? SaveFormatFor : LoadFormatFor)("a" + e), ImageFormat::None) << e;
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

TEST(ImageFiles, TiffStripsOverTheBufferAreReadRowByRow) {
  using Common::kTiffStripBufferBytes;
  using Common::TiffRowsPerRead;
  // An 8192 x 8192 picture of 16-bit RGBA stored as one strip.
  EXPECT_EQ(TiffRowsPerRead(8192, 8192 * 8), 1u);
  EXPECT_EQ(TiffRowsPerRead(2, kTiffStripBufferBytes / 2 + 1), 1u);
  // Strips that fit are read whole, as are strips of one row.
  EXPECT_EQ(TiffRowsPerRead(2, kTiffStripBufferBytes / 2), 2u);
  EXPECT_EQ(TiffRowsPerRead(64, 1024 * 3), 64u);
  EXPECT_EQ(TiffRowsPerRead(1, kTiffStripBufferBytes * 4), 1u);
}

TEST(ImageFiles, TiffKeepsGrayAndResolution) {
  // A picture marked gray goes out as gray (with its alpha) at its depth
  // and reads back so; the resolution keeps its unit.
  ScratchDir dir;
  using Unit = Common::Resolution::Unit;
  struct Case {
    int channels, depth;
    bool gray;
    int readChannels;
    Unit unit;
  } cases[] = {{3, 8, true, 1, Unit::Inch},   {4, 16, true, 4, Unit::Centimetre},
               {4, 8, false, 4, Unit::None},  {1, 16, false, 1, Unit::Inch}};
  for (const Case& c : cases) {
    CImage image;
    ASSERT_TRUE(image.Create(5, 3, c.channels, true, false, c.depth));
    for (int y = 0; y < 3; ++y)
      for (int i = 0; i < 5 * image.PixelBytes(); ++i) image.PixelAt(0, y)[i] = 7 * i + y;
    image.metadata.gray = c.gray;
    image.metadata.resolution = {600, 300, c.unit};
    ASSERT_TRUE(Common::Save(image, dir / "a.tif"));
    CImage back;
    Common::LoadControl control;
    control.keep_wide = true;
    ASSERT_TRUE(Common::LoadFile(back, dir / "a.tif", control));
    EXPECT_EQ(back.metadata.gray, c.gray || c.channels == 1);
    ASSERT_EQ(back.channels, c.readChannels);
    ASSERT_EQ(back.depth, c.depth);
    const int bytes = c.depth / 8;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x)
        for (int k = 0; k < back.channels; ++k) {
          // Gray with alpha reads its gray into R, G and B.
          const int from = !c.gray ? k : k == 3 ? 3 : 0;
          EXPECT_EQ(std::memcmp(back.PixelAt(x, y) + k * bytes,
                                image.PixelAt(x, y) + from * bytes, bytes), 0);
        }
    EXPECT_EQ(back.metadata.resolution.x, 600);
    EXPECT_EQ(back.metadata.resolution.y, 300);
    EXPECT_EQ(back.metadata.resolution.unit, c.unit);
  }
}

TEST(ImageFiles, SaveRefusals) {
  ScratchDir dir;
  CImage rgb, empty;
  FillPattern(rgb, 2, 2, 3);
  EXPECT_FALSE(Common::Save(empty, dir / "x.png"));
  EXPECT_FALSE(FileExists(dir / "x.png"));
  EXPECT_FALSE(Common::Save(rgb, dir / "x.xyz"));
  EXPECT_FALSE(FileExists(dir / "x.xyz"));
  EXPECT_FALSE(Common::Save(rgb, dir / "missing/x.png"));
  EXPECT_FALSE(Common::Save(rgb, dir.path()));  // no extension
  ASSERT_EQ(mkdir((dir / "folder.png").c_str(), 0755), 0);
  EXPECT_FALSE(Common::Save(rgb, dir / "folder.png"));

  // The same refusals, told before any work.
  using Common::CheckOutputPath;
  using Common::OutputProblem;
  EXPECT_EQ(CheckOutputPath(dir / "x.xyz"), OutputProblem::UnknownExtension);
  EXPECT_EQ(CheckOutputPath(dir / "missing/x.png"), OutputProblem::NoFolder);
  EXPECT_EQ(CheckOutputPath(dir / "folder.png"), OutputProblem::IsFolder);
  EXPECT_EQ(CheckOutputPath(dir / "new.JPEG"), OutputProblem::None);
  EXPECT_EQ(CheckOutputPath("relative.png"), OutputProblem::None);
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
  // A pipe without a writer is refused at once instead of waiting for one,
  // and so is a pipe without a reader as an output.
  ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0600), 0);
  EXPECT_FALSE(image.Load(dir / "pipe.png"));
  FillPattern(image, 2, 2, 3);
  EXPECT_FALSE(Common::Save(image, dir / "pipe.png"));
  struct stat info;
  ASSERT_EQ(stat((dir / "pipe.png").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A save that fails half-way (here over a file-size limit) leaves the file
// it would replace as it was, symbolic links included, and no temporary
// file; a save that succeeds replaces the file (or the link's target)
// whole and keeps its permissions.
TEST(ImageFiles, SavesReplaceWholeOrNotAtAll) {
  ScratchDir dir;
  CImage small, large;
  FillPattern(small, 4, 4, 3);
  FillPattern(large, 300, 300, 3);
  ASSERT_TRUE(Common::Save(small, dir / "photo.bmp"));
  ASSERT_EQ(chmod((dir / "photo.bmp").c_str(), 0640), 0);
  ASSERT_EQ(symlink("photo.bmp", (dir / "link.bmp").c_str()), 0);
  const Bytes original = samples::ReadFile(dir / "photo.bmp");

  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 4096;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const bool direct = Common::Save(large, dir / "photo.bmp");
  const bool linked = Common::Save(large, dir / "link.bmp");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(direct);
  EXPECT_FALSE(linked);
  EXPECT_EQ(samples::ReadFile(dir / "photo.bmp"), original);
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"link.bmp", "photo.bmp"}));

  ASSERT_TRUE(Common::Save(large, dir / "link.bmp"));
  struct stat info;
  ASSERT_EQ(lstat((dir / "link.bmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat((dir / "photo.bmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  CImage back;
  ASSERT_TRUE(back.Load(dir / "photo.bmp"));
  EXPECT_EQ(back.width, 300);
  // A dangling link gets its target created.
  ASSERT_EQ(symlink("made.png", (dir / "dangling.png").c_str()), 0);
  ASSERT_TRUE(Common::Save(small, dir / "dangling.png"));
  EXPECT_TRUE(back.Load(dir / "made.png"));
  EXPECT_EQ(Entries(dir.path()).size(), 4u);
}

// Batch outputs: a link is replaced, never followed; without `replace` a
// file already there (or put there meanwhile) stays, and the failure says
// EEXIST; every failure keeps its errno.
TEST(ImageFiles, SaveOptionsForOutputsOfABatch) {
  ScratchDir dir;
  CImage small;
  FillPattern(small, 4, 4, 3);
  ASSERT_TRUE(Common::Save(small, dir / "input.png"));
  const Bytes input = samples::ReadFile(dir / "input.png");
  ASSERT_EQ(symlink("input.png", (dir / "out.png").c_str()), 0);
  Common::SaveOptions batch;
  batch.follow_links = false;
  FillPattern(small, 5, 5, 3);
  ASSERT_TRUE(Common::Save(small, dir / "out.png", batch));
  struct stat info;
  ASSERT_EQ(lstat((dir / "out.png").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(samples::ReadFile(dir / "input.png"), input);

  batch.replace = false;
  EXPECT_FALSE(Common::Save(small, dir / "input.png", batch));
  EXPECT_EQ(Common::LastSaveError(), EEXIST);
  EXPECT_FALSE(Common::CopyFileAtomically(dir / "out.png", dir / "input.png", batch));
  EXPECT_EQ(samples::ReadFile(dir / "input.png"), input);
  ASSERT_TRUE(Common::CopyFileAtomically(dir / "input.png", dir / "copy.png", batch));
  EXPECT_EQ(samples::ReadFile(dir / "copy.png"), input);
  EXPECT_FALSE(Common::Save(small, dir / "missing/x.png"));
  EXPECT_EQ(Common::LastSaveError(), ENOENT);
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"copy.png", "input.png", "out.png"}));
}

// The temporary file of a save fits in a file name whatever the final
// name's length (names that share a long start still get names of their
// own), and is locked against other processes while it is written.
TEST(ImageFiles, TemporaryFilesFitAndAreLockedWhileWritten) {
  ScratchDir dir;
  const std::string start(230, 'a');
  std::vector<std::string> seen;
  for (const std::string& name : {std::string("short.png"), start + "1.png", start + "2.png"}) {
    const bool saved = Common::WriteAtomically(
        dir / name, Common::SaveOptions(), [&](FILE* file) {
          for (const std::string& n : Entries(dir.path())) {
            if (n.size() < 4 || n.compare(n.size() - 4, 4, ".tmp") != 0) continue;
            seen.push_back(n);
            // Another process can take no lock on it.
            const pid_t child = fork();
            if (child == 0) {
              const int fd = open((dir / n).c_str(), O_RDONLY);
              struct flock lock {};
              lock.l_type = F_RDLCK;
              lock.l_whence = SEEK_SET;
              _exit(fd >= 0 && fcntl(fd, F_SETLK, &lock) != 0 ? 0 : 1);
            }
            int status = -1;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << n;
          }
          return std::fputs("bytes", file) >= 0;
        });
    EXPECT_TRUE(saved) << name.size() << ": " << std::strerror(Common::LastSaveError());
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].rfind(".short.png.", 0), 0u) << seen[0];  // the usual form
  for (const std::string& n : seen) EXPECT_LE(n.size(), 255u) << n;
  EXPECT_NE(seen[1].substr(0, seen[1].rfind('.', seen[1].size() - 5)),
            seen[2].substr(0, seen[2].rfind('.', seen[2].size() - 5)));
  EXPECT_EQ(Entries(dir.path()).size(), 3u);
}

// Batch saves (links not followed) write regular files only: a pipe in the
// output's place is left alone, even with a reader at its other end.
TEST(ImageFiles, BatchSavesLeaveAPipeAlone) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo((dir / "out.png").c_str(), 0644), 0);
  const int reader = open((dir / "out.png").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  CImage small;
  FillPattern(small, 4, 4, 3);
  Common::SaveOptions batch;
  batch.follow_links = false;
  EXPECT_FALSE(Common::Save(small, dir / "out.png", batch));
  EXPECT_EQ(Common::LastSaveError(), EEXIST);
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing was written into it
  close(reader);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"out.png"});
}

// A file replaced by someone who may not give it its owner keeps its group
// where the caller belongs to it, and never opens to a group it did not
// have; its owner (root here) keeps everything.
TEST(ImageFiles, ReplacedFilesKeepOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  ScratchDir dir;
  CImage small;
  FillPattern(small, 4, 4, 3);
  const std::string shared = dir / "shared.png", other = dir / "other.png";
  for (const std::string& name : {shared, other}) {
    ASSERT_TRUE(Common::Save(small, name));
    ASSERT_EQ(chown(name.c_str(), 1001, name == shared ? 5000 : 6000), 0);
    ASSERT_EQ(chmod(name.c_str(), 0660), 0);
  }
  ASSERT_EQ(chown(dir.path().c_str(), 0, 5000), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // a member of group 5000 only
    const gid_t groups[] = {5000};
    const bool ok = setgroups(1, groups) == 0 && setresgid(1002, 1002, 1002) == 0 &&
                    setresuid(1002, 1002, 1002) == 0 && Common::Save(small, shared) &&
                    Common::Save(small, other);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat info;
  ASSERT_EQ(stat(shared.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 1002u);
  EXPECT_EQ(info.st_gid, 5000u);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  ASSERT_EQ(stat(other.c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, 1002u);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  ASSERT_EQ(chown(shared.c_str(), 1001, 5000), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0604), 0);
  ASSERT_TRUE(Common::Save(small, shared));
  ASSERT_EQ(stat(shared.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 1001u);
  EXPECT_EQ(info.st_gid, 5000u);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
}

// A process that a signal ends during a save leaves no temporary file,
// when it left that signal at its default action.
TEST(ImageFiles, AnEndingSignalDuringASaveRemovesTheTemporaryFile) {
  ScratchDir dir;
  CImage large;
  FillPattern(large, 3000, 2000, 3);
  for (int signal_number : {SIGTERM, SIGHUP}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) Common::Save(large, dir / "big.png");
    }
    // Wait for a temporary file to exist, then end the child.
    for (int k = 0; k < 20000; ++k) {
      const auto names = Entries(dir.path());
      if (std::any_of(names.begin(), names.end(), [](const std::string& n) {
            return n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0;
          }))
        break;
      usleep(500);
    }
    kill(child, signal_number);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number);
    const auto names = Entries(dir.path());
    EXPECT_TRUE(names.empty() || names == std::vector<std::string>{"big.png"})
        << names.size() << " files, the first " << names.front();
  }
}

}  // namespace
}  // namespace imagetest
