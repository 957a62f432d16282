// Reading the hive file and replacing it atomically.
#include "config/hive_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace cm {

namespace {

std::string Describe(const char* what, const std::string& path, int error)
{
    return std::string(what) + " '" + path + "': " + std::strerror(error);
}

// Closes the descriptor when the scope ends.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    // Closes now and reports the result: a deferred write error can surface here.
    int Close()
    {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

bool WriteAll(int fd, std::string_view contents)
{
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Flushes the directory entry of a rename to the disk.
bool SyncDirectoryOf(const std::string& path, std::string& error)
{
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::string directory = parent.empty() ? std::string(".") : parent.string();
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0 || ::fsync(dir.Get()) != 0) {
        error = Describe("cannot flush the directory", directory, errno);
        return false;
    }
    return true;
}

// Writes and flushes the temporary file; false with `error` on failure.
bool WriteTemporary(const std::string& temporary, std::string_view contents, SaveFault fault,
                    std::string& error)
{
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.Get() < 0) {
        error = Describe("cannot create", temporary, errno);
        return false;
    }
    if (fault == SaveFault::WriteFails) {
        WriteAll(file.Get(), contents.substr(0, contents.size() / 2));
        error = Describe("cannot write", temporary, ENOSPC);
        return false;
    }
    if (!WriteAll(file.Get(), contents)) {
        error = Describe("cannot write", temporary, errno);
        return false;
    }
    if (::fsync(file.Get()) != 0) {
        error = Describe("cannot flush", temporary, errno);
        return false;
    }
    if (file.Close() != 0) {
        error = Describe("cannot close", temporary, errno);
        return false;
    }
    return true;
}

}  // namespace

std::string TemporaryPathFor(const std::string& path)
{
    return path + ".tmp";
}

bool ReplaceFileAtomically(const std::string& path, std::string_view contents, SaveFault fault,
                           std::string& error)
{
    const std::string temporary = TemporaryPathFor(path);
    if (!WriteTemporary(temporary, contents, fault, error)) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (fault == SaveFault::CrashBeforeRename) {
        error = "the save stopped before the rename of '" + temporary + "' (simulated crash)";
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Describe("cannot rename the temporary file over", path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The new contents are in place; a failed directory flush only weakens durability.
    return SyncDirectoryOf(path, error);
}

ReadOutcome ReadWholeFile(const std::string& path, std::string& contents, std::string& error)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        if (errno == ENOENT) {
            return ReadOutcome::Missing;
        }
        error = Describe("cannot open", path, errno);
        return ReadOutcome::Failed;
    }
    contents.clear();
    char buffer[16384];
    while (true) {
        const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = Describe("cannot read", path, errno);
            return ReadOutcome::Failed;
        }
        if (got == 0) {
            return ReadOutcome::Read;
        }
        contents.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace cm
