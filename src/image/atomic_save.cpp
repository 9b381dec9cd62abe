// Saving a file whole or not at all: a temporary file beside the final
// one, flushed and renamed over it, removed again when the save fails or an
// ending signal stops the process.
#include "image/atomic_save.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>

#include "image/stream_io.h"

namespace Common {

bool UsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The errno of this thread's last failed save.
thread_local int lastSaveError = 0;

bool Failed(int error) {
  lastSaveError = error;
  return false;
}

// The temporary file of the save in progress, for RemovePendingSaveFile.
// One slot: saves in one process are serialised by their callers, and a
// save that finds the slot taken simply goes without it.
char pendingPath[4096];
std::atomic<int> pendingState{0};  // 0 free, 1 being filled, 2 set
static_assert(std::atomic<int>::is_always_lock_free,
              "read from signal handlers");

// Signals that end a process by default. While a save is pending, those
// still at their default action remove the temporary file first; a signal
// the program handles itself is left to it.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void RemovePendingAndEnd(int signal_number) {
  RemovePendingSaveFile();
  raise(signal_number);  // SA_RESETHAND: the default action now
}

// Tracks the temporary file of the save in progress. The name is tracked
// before the file is created, and the signal handlers are in place before
// that, so that no moment leaves a file that a signal would not remove.
class PendingFile {
 public:
  PendingFile() {
    int expected = 0;
    if (!pendingState.compare_exchange_strong(expected, 1)) return;
    held_ = true;
    for (size_t k = 0; k < std::size(kEndingSignals); ++k) {
      struct sigaction current {};
      if (sigaction(kEndingSignals[k], nullptr, &current) != 0 ||
          current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO))
        continue;
      struct sigaction cleanup {};
      cleanup.sa_handler = RemovePendingAndEnd;
      cleanup.sa_flags = SA_RESETHAND;
      sigemptyset(&cleanup.sa_mask);
      installed_[k] = sigaction(kEndingSignals[k], &cleanup, nullptr) == 0;
    }
  }
  ~PendingFile() {
    if (!held_) return;
    for (size_t k = 0; k < std::size(kEndingSignals); ++k)
      if (installed_[k]) signal(kEndingSignals[k], SIG_DFL);
    pendingState.store(0);
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // The name of the file about to be created (a handler that runs before
  // it exists removes nothing).
  void Track(const std::string& path) {
    if (!held_) return;
    pendingState.store(1);
    if (path.size() >= sizeof pendingPath) return;
    std::memcpy(pendingPath, path.c_str(), path.size() + 1);
    pendingState.store(2);
  }

 private:
  bool held_ = false;
  bool installed_[std::size(kEndingSignals)] = {};
};

// Gives a new file the owner, group and mode of the file it replaces, as
// far as the caller may. A file whose group cannot be kept loses its group
// rights, so that it never opens to a group that had none on it.
void KeepOwnership(int fd, const struct stat& replaced) {
  mode_t mode = replaced.st_mode & 07777;
  if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_gid != replaced.st_gid) mode &= ~07070;
  }
  (void)!fchmod(fd, mode);
}

// The longest file name most file systems take (NAME_MAX).
constexpr size_t kNameMax = 255;

// FNV-1a: a short, stable digest of a long name.
uint64_t NameDigest(const std::string& name) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// ".NAME.PID-N.tmp"; when that is too long for a file name, NAME gives way
// to its first 200 bytes (whole UTF-8 characters), "~" and its digest in
// hexadecimal, which keeps names that share their start apart.
std::string TemporaryName(const std::string& base, unsigned counter) {
  const std::string suffix =
      "." + std::to_string(getpid()) + "-" + std::to_string(counter) + ".tmp";
  if (1 + base.size() + suffix.size() <= kNameMax) return "." + base + suffix;
  size_t keep = 200;
  while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx",
                static_cast<unsigned long long>(NameDigest(base)));
  return "." + base.substr(0, keep) + "~" + digest + suffix;
}

// Holds a write lock on the whole temporary file for as long as the file
// is open, so that a sweep of leftovers (which takes only files it can
// lock) never removes a file that is being written, whichever process,
// PID namespace or machine writes it. Open-file-description locks where
// there are: closing another descriptor of the file in this process does
// not drop them. False when a sweep removed the file before the lock.
bool LockTemporary(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int result = -1;
#ifdef F_OFD_SETLKW
  do result = fcntl(fd, F_OFD_SETLKW, &lock);
  while (result != 0 && errno == EINTR);
#endif
  if (result != 0) {
    do result = fcntl(fd, F_SETLKW, &lock);
    while (result != 0 && errno == EINTR);
  }
  // Without locks (a file system that has none) the file goes unlocked.
  struct stat info;
  return fstat(fd, &info) != 0 || info.st_nlink > 0;
}

// Creates a new file next to `target` for writing, with the permissions a
// new file gets (or those of the file it will replace), locked (see
// LockTemporary). Every temporary file is named as TemporaryName says, so
// that one left by a process that died can be told and swept.
int CreateTemporary(const std::string& target, const struct stat* replaced,
                    std::string& name, PendingFile& pending) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(target);
  const std::string base = target.substr(target.rfind('/') + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = folder + "/" + TemporaryName(base, counter.fetch_add(1));
    pending.Track(name);
    const int fd = open(name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (!LockTemporary(fd)) {
        close(fd);  // swept in the moment before the lock: take another name
        continue;
      }
      if (replaced != nullptr) KeepOwnership(fd, *replaced);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Writes to a device or a pipe that already exists: there is nothing to
// replace. Opened without blocking, so a pipe without a reader fails.
bool WriteSpecialFile(const std::string& target,
                      const std::function<bool(FILE*)>& write) {
  const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failed(errno);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  errno = 0;
  const bool written = write(file);
  int error = written ? 0 : errno;
  if (std::fclose(file) != 0 && error == 0) error = errno ? errno : EIO;
  if (!written || error != 0) return Failed(error);
  return true;
}

// Puts the finished temporary file in place of `target` only when nothing
// is there: atomically where the file system can (renameat2), else by a
// hard link, which fails on an existing name as well.
bool PlaceIfAbsent(const std::string& temporary, const std::string& target) {
#ifdef SYS_renameat2
  constexpr unsigned kRenameNoReplace = 1;
  if (syscall(SYS_renameat2, AT_FDCWD, temporary.c_str(), AT_FDCWD,
              target.c_str(), kRenameNoReplace) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (link(temporary.c_str(), target.c_str()) != 0) return false;
  unlink(temporary.c_str());
  return true;
}

}  // namespace

// Writes a file whole or not at all: into a temporary file in the folder
// of the final file, flushed to disk and then put in its place.
bool WriteAtomically(const std::string& path, const SaveOptions& options,
                     const std::function<bool(FILE*)>& write) {
  const std::string target =
      options.follow_links ? ResolveSaveTarget(path) : path;
  struct stat existing;
  const bool exists = (options.follow_links ? stat(target.c_str(), &existing)
                                            : lstat(target.c_str(), &existing)) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return Failed(EISDIR);
  if (exists && !options.replace) return Failed(EEXIST);
  if (exists && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
    // Without following links only regular files are written: a pipe or a
    // device in the file's place is left alone.
    if (!options.follow_links) return Failed(EEXIST);
    return WriteSpecialFile(target, write);
  }

  std::string temporary;
  PendingFile pending;
  const int fd = CreateTemporary(
      target, exists && S_ISREG(existing.st_mode) ? &existing : nullptr, temporary,
      pending);
  if (fd < 0) return Failed(errno);

  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    unlink(temporary.c_str());
    return Failed(error);
  }
  errno = 0;
  bool ok = write(file);
  int error = ok ? 0 : (errno ? errno : 0);
  auto step = [&](bool done) {
    if (!done && ok) error = errno ? errno : EIO;
    ok = ok && done;
  };
  step(std::fflush(file) == 0);
  step(fsync(fileno(file)) == 0);
  // Put in place before it is closed: closing drops the lock that keeps
  // sweeps off it. What the close could report, fsync has reported.
  if (ok)
    step(options.replace ? rename(temporary.c_str(), target.c_str()) == 0
                         : PlaceIfAbsent(temporary, target));
  std::fclose(file);
  if (!ok) {
    unlink(temporary.c_str());
    return Failed(error);
  }
  return true;
}

std::string ResolveSaveTarget(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
      return current;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(current.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return current;
    link.resize(static_cast<size_t>(n));
    current = link[0] == '/' ? link : FolderOf(current) + "/" + link;
  }
  return current;
}

int LastSaveError() { return lastSaveError; }

void ResetSaveError() { lastSaveError = 0; }

bool CopyFileAtomically(const std::string& source, const std::string& path,
                        const SaveOptions& options) {
  lastSaveError = 0;
  if (!UsablePath(source) || !UsablePath(path)) return Failed(ENOENT);
  const int fd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failed(errno);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return Failed(EINVAL);
  }
  FilePtr in(fdopen(fd, "rb"));
  if (!in) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  return WriteAtomically(path, options, [&](FILE* out) {
    char buffer[1 << 16];
    for (;;) {
      const size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
      if (n > 0 && std::fwrite(buffer, 1, n, out) != n) return false;
      if (n < sizeof buffer) return std::ferror(in.get()) == 0;
    }
  });
}

OutputProblem CheckSaveTarget(const std::string& path, bool follow_links) {
  lastSaveError = ENOENT;
  if (!UsablePath(path)) return OutputProblem::NoFolder;
  const std::string target = follow_links ? ResolveSaveTarget(path) : path;
  struct stat info;
  if ((follow_links ? stat(target.c_str(), &info) : lstat(target.c_str(), &info)) == 0) {
    lastSaveError = EISDIR;
    if (S_ISDIR(info.st_mode)) return OutputProblem::IsFolder;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
      lastSaveError = 0;
      if (access(target.c_str(), W_OK) == 0) return OutputProblem::None;
      lastSaveError = errno;
      return OutputProblem::NotWritable;
    }
  }
  const std::string folder = FolderOf(target);
  lastSaveError = ENOENT;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return OutputProblem::NoFolder;
  // The temporary file is made in the folder.
  lastSaveError = 0;
  if (access(folder.c_str(), W_OK | X_OK) == 0) return OutputProblem::None;
  lastSaveError = errno;
  return OutputProblem::NotWritable;
}

void RemovePendingSaveFile() noexcept {
  if (pendingState.load() == 2) unlink(pendingPath);
}

}  // namespace Common
