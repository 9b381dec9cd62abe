#include "cli/python_handover.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace pw::cli {
namespace {

std::string ThisExecutable() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  return std::string(path, static_cast<size_t>(n));
}

bool IsExecutableFile(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindInstallationPython(const std::string& executable,
                                   std::string& looked_for) {
  if (const char* chosen = std::getenv("PATCHWELL_PYTHON");
      chosen != nullptr && *chosen != '\0') {
    looked_for = std::string("PATCHWELL_PYTHON=") + chosen;
    return IsExecutableFile(chosen) ? chosen : std::string();
  }
  const size_t slash = executable.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : executable.substr(0, slash);
  looked_for = "python3 or python in " + folder;
  // The interpreter is run by its own name, not the file a link points to:
  // a virtual environment's python is a link, and only its own path finds
  // the environment's packages.
  for (const char* name : {"python3", "python"}) {
    const std::string candidate = folder + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return std::string();
}

int HandOverToPython(const std::vector<std::string>& args) {
  std::string looked_for;
  const std::string python = FindInstallationPython(ThisExecutable(), looked_for);
  if (python.empty()) {
    ConsoleFprintf(stderr,
                   "patchwell: 'batch' runs in Python, and no interpreter with "
                   "the patchwell package was found (looked for %s); install "
                   "patchwell with pip, or set PATCHWELL_PYTHON\n",
                   looked_for.c_str());
    return 1;
  }
  std::vector<std::string> words = {python, "-m", "patchwell.batch"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // A folder named patchwell in the working directory must not stand in
  // for the installed package (Python 3.11 and later honour this).
  setenv("PYTHONSAFEPATH", "1", 0);
  std::fflush(stdout);
  execv(python.c_str(), argv.data());
  ConsoleFprintf(stderr, "patchwell: cannot run %s: %s\n", python.c_str(),
                 std::strerror(errno));
  return 1;
}

}  // namespace pw::cli
