// The Escape key as a way to end a run early.
//
// Escape is read from the controlling terminal, and only when standard input
// is an interactive terminal. While a run lasts, an EscapeKeyWatch puts that
// terminal into non-canonical, no-echo mode so that single key presses
// arrive without Enter; its destructor restores the previous mode on every
// path. Without a terminal there is no Escape (Ctrl+C still works).
#pragma once

namespace pw {

// Gives the terminal back the mode it had before a watch changed it, if a
// watch has; nothing otherwise. Safe to call from a signal handler, for a
// process that ends without reaching the watch's destructor.
void RestoreTerminal() noexcept;

class EscapeKeyWatch {
 public:
  // enabled = false makes a watch that never reports a key.
  explicit EscapeKeyWatch(bool enabled);
  ~EscapeKeyWatch();
  EscapeKeyWatch(const EscapeKeyWatch&) = delete;
  EscapeKeyWatch& operator=(const EscapeKeyWatch&) = delete;

  bool active() const { return active_; }

  // True when Escape was pressed since the previous query. Never blocks;
  // other keys typed meanwhile are consumed.
  bool Pressed();

 private:
  bool active_ = false;
  int fd_ = -1;
  struct Saved;
  Saved* saved_ = nullptr;
};

}  // namespace pw
