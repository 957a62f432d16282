// camctl's command logic as a library: the program's main and the end-to-end tests both run it.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace camctl {

struct Console {
    // Draw the capture progress bar on the error stream (the program sets this when standard
    // error is a terminal).
    bool progressBar = false;
    // Set from outside (a signal handler) to end a capture or stream early but cleanly.
    const std::atomic<bool>* interrupted = nullptr;
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command ran and failed (camera, frames, files)
inline constexpr int kExitUsage = 2;    // bad arguments, unknown names, malformed values

// Runs one camctl command line (without the program name): results go to `out`, messages and
// errors to `err`. Returns the exit code.
int RunCamctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const Console& console = {});

}  // namespace camctl
