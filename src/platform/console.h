// Console output of the library. Messages go to the process's own standard
// streams through C stdio (not through any Python stream object) and are
// flushed at once, so they interleave correctly with the host's own output.
#pragma once

#include <cstdio>

namespace pw {

#if defined(__GNUC__)
#define PW_PRINTF_LIKE(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#else
#define PW_PRINTF_LIKE(fmt_index, first_arg)
#endif

// printf to standard output, then flush.
void ConsolePrintf(const char* format, ...) PW_PRINTF_LIKE(1, 2);

// printf to the given stream, then flush.
void ConsoleFprintf(FILE* stream, const char* format, ...) PW_PRINTF_LIKE(2, 3);

}  // namespace pw
