#include "platform/console.h"

#include <pthread.h>

#include <cstdarg>
#include <mutex>
#include <string>

namespace pw {
namespace {

// Guards `redirect` and keeps whole messages together. Renewed in a forked
// child, where a thread that held it no longer exists.
std::mutex* g_mutex = nullptr;
ConsoleRedirect* g_redirect = nullptr;
std::once_flag g_once;

void RenewInChild() {
  g_mutex = new std::mutex;  // the old one may be held: left behind
  g_redirect = nullptr;
}

std::mutex& ConsoleMutex() {
  std::call_once(g_once, [] {
    g_mutex = new std::mutex;
    pthread_atfork(nullptr, nullptr, RenewInChild);
  });
  return *g_mutex;
}

std::string Format(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[256];
  const int n = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (n > 0 && static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

void Emit(FILE* stream, const std::string& text) {
  std::lock_guard<std::mutex> guard(ConsoleMutex());
  if (g_redirect != nullptr && (stream == stdout || stream == stderr)) {
    g_redirect->Write(stream, text.data(), text.size());
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void ConsolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  Emit(stdout, text);
}

void ConsoleFprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  Emit(stream, text);
}

ScopedConsoleRedirect::ScopedConsoleRedirect(ConsoleRedirect* redirect) {
  std::lock_guard<std::mutex> guard(ConsoleMutex());
  previous_ = g_redirect;
  g_redirect = redirect;
}

ScopedConsoleRedirect::~ScopedConsoleRedirect() {
  std::lock_guard<std::mutex> guard(ConsoleMutex());
  g_redirect = previous_;
}

}  // namespace pw
