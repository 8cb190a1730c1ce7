#pragma once
// The files the command line reads: the bytes `write --file` sends and the lines `source`
// runs. Any kind of file: a regular one, a device (/dev/urandom) or a pipe (`<(cmd)`), which
// has no size to ask for and is read to its end.

#include "net/Deadline.h"
#include "net/Fd.h"

#include <cstdint>
#include <string>

namespace cli {

/// A file opened for reading.
class InputFile {
public:
    /// Opens `path`, which may hold at most `most` bytes (`mostText` names the limit in
    /// messages: "1 GiB"). Raises Failure with the reason when it cannot be read: "cannot read
    /// /etc: Is a directory", "cannot read x: No such file or directory", or a regular file
    /// already larger than the limit.
    InputFile(std::string path, std::uintmax_t most, std::string mostText);

    /// Reads to the end of the file by `deadline` (Ctrl-C ends the wait too). Raises Failure
    /// with the reason: the limit passed, the deadline came first, a read failed.
    std::string readAll(net::Deadline deadline);

    const std::string& path() const noexcept { return m_path; }

private:
    [[noreturn]] void cannotRead(int error) const;
    [[noreturn]] void tooLarge() const;
    /// Waits until the file has bytes (or its end) by `deadline`.
    void waitReadable(net::Deadline deadline) const;

    std::string m_path;
    std::uintmax_t m_most;
    std::string m_mostText;
    net::Fd m_fd;
    std::uintmax_t m_size = 0; ///< of a regular file; 0 for a stream
};

} // namespace cli
