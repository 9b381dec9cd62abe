#include "cli/same_place.h"

#include <sys/stat.h>

#include <cstdlib>

#include "image/atomic_save.h"

namespace pw::cli {
namespace {

// True when two names lead to one existing file.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::string();
  std::string result(real);
  std::free(real);
  return result;
}

// Where a save under `path` would land, links followed: the real path of
// the file when it exists, else that of its folder with the name in it
// (so that "s/./out.tif" and "s/out.tif" meet before either exists).
std::string SaveDestination(const std::string& path) {
  const std::string target = Common::ResolveSaveTarget(path);
  std::string real = RealPath(target);
  if (!real.empty()) return real;
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string name =
      slash == std::string::npos ? target : target.substr(slash + 1);
  real = RealPath(folder);
  if (real.empty()) return target;
  return (real == "/" ? "" : real) + "/" + name;
}

}  // namespace

// True when a file written under `written` would replace the file read or
// written under `other`: one existing file (hard links included), or one
// place by real path.
bool SamePlace(const std::string& written, const std::string& other) {
  return written == other || SameFile(written, other) ||
         SaveDestination(written) == SaveDestination(other);
}

}  // namespace pw::cli
