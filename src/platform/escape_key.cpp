#include "platform/escape_key.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace pw {
namespace {

// The mode to give back to the terminal while a watch has changed it, for
// RestoreTerminal, which may run in a signal handler.
termios savedMode;
std::atomic<bool> modeChanged{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from signal handlers");

}  // namespace

void RestoreTerminal() noexcept {
  if (modeChanged.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

struct EscapeKeyWatch::Saved {
  termios mode;
};

EscapeKeyWatch::EscapeKeyWatch(bool enabled) {
  if (!enabled || !isatty(STDIN_FILENO)) return;
  // A background job must not touch its terminal (it would be stopped).
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  if (foreground != -1 && foreground != getpgrp()) return;
  termios mode;
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
  saved_ = new Saved{mode};
  savedMode = mode;
  modeChanged.store(true);
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
    modeChanged.store(false);
    delete saved_;
    saved_ = nullptr;
    return;
  }
  fd_ = STDIN_FILENO;
  active_ = true;
}

EscapeKeyWatch::~EscapeKeyWatch() {
  if (saved_ != nullptr) {
    modeChanged.store(false);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
    delete saved_;
  }
}

bool EscapeKeyWatch::Pressed() {
  if (!active_) return false;
  bool escape = false;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) break;
    unsigned char buf[64];
    const ssize_t got = read(fd_, buf, sizeof buf);
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i)
      if (buf[i] == 27) escape = true;
  }
  return escape;
}

}  // namespace pw
