// Reading the hive file and replacing it atomically (platform-internal).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cm {

// Faults a test can make the next save suffer.
enum class SaveFault {
    None,
    // The temporary file is written and flushed, then the save stops as if the program died
    // before the rename: the temporary file stays, the hive file is untouched.
    CrashBeforeRename,
    // Writing the temporary file fails half-way, as on a full disk.
    WriteFails,
};

// Replaces the file at `path` with `contents`: writes "<path>.tmp" in the same directory,
// flushes it to the disk, renames it over `path` and flushes the directory. On failure the
// previous file is left as it was and `error` says what went wrong.
bool ReplaceFileAtomically(const std::string& path, std::string_view contents, SaveFault fault,
                           std::string& error);

// The temporary file a save of `path` writes.
std::string TemporaryPathFor(const std::string& path);

enum class ReadOutcome { Read, Missing, Failed };
// Reads the whole file; `error` describes a failure.
ReadOutcome ReadWholeFile(const std::string& path, std::string& contents, std::string& error);

}  // namespace cm
