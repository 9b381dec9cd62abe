// Writing a file whole or not at all: into a temporary file in the folder
// of the final file, flushed to disk and then renamed over it. The
// temporary file is removed when the save fails, and by the ending signals
// while it exists.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "image/save_options.h"

namespace Common {

// Whether a path can name a file: not empty, and no embedded NUL (which
// would name another file than the caller's).
bool UsablePath(const std::string& path);

// Writes a file as Save does (whole or not at all), its bytes from
// `write`; false when `write` does or a step of the save fails.
bool WriteAtomically(const std::string& path, const SaveOptions& options,
                     const std::function<bool(FILE*)>& write);

// Copies the bytes of a regular file to `path` as Save writes a picture.
bool CopyFileAtomically(const std::string& source, const std::string& path,
                        const SaveOptions& options = SaveOptions());

// The errno of this thread's last failed Save, CopyFileAtomically or
// CheckOutputPath: 0 when the failure had none (an empty picture, an
// extension that is not written, an encoder that gave up).
int LastSaveError();

// The file a save to `path` replaces: the path with any symbolic links at
// its end followed (dangling ones too).
std::string ResolveSaveTarget(const std::string& path);

// Removes the temporary file of a save in progress, if any. Safe to call
// from a signal handler, for a process that is about to end.
void RemovePendingSaveFile() noexcept;

// Why a picture could not be saved under a name, checked before any work.
enum class OutputProblem {
  None,
  UnknownExtension,  // no extension that is written
  NoFolder,          // the folder does not exist (or is not a folder)
  NotWritable,       // the folder (or the device) cannot be written
  IsFolder,          // the name is a folder
};

// Whether a save to `path` could put its file in place, the extension
// aside: the name is no folder, and the folder of the file it replaces
// exists and can be written (or the device it names can). Sets
// LastSaveError.
OutputProblem CheckSaveTarget(const std::string& path, bool follow_links = true);

// Clears LastSaveError, for a save or a check that starts.
void ResetSaveError();

}  // namespace Common
