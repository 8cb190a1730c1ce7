#pragma once

#include <atomic>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>

namespace trace {

/// The file a trace goes to: whole lines appended one write at a time, safe from any thread.
///
/// Each line reaches the operating system before writeLine returns, so a crash of the program
/// loses no line written before it. The first failure (a full disk, a closed pipe) turns the
/// file off for good with one message on the error stream; a trace never fails its caller.
class TraceFile {
public:
    /// Opens `path` for appending (created when missing). When it cannot be opened the file
    /// is off at once and `errors` gets the one message.
    TraceFile(std::string path, std::ostream& errors);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    /// True until the file failed; a reader may see a stale true, which only costs one
    /// record that is then dropped.
    bool isOn() const noexcept { return m_on.load(std::memory_order_relaxed); }
    /// Appends `line` and a line feed in one write.
    void writeLine(std::string_view line);
    const std::string& path() const noexcept { return m_path; }

private:
    void turnOff(int error);

    std::string m_path;
    std::ostream& m_errors;
    std::atomic<bool> m_on{false};
    std::mutex m_mutex; ///< one line at a time, and one message at most
    std::string m_line; ///< the line and its LF, reused (guarded by m_mutex)
    int m_fd = -1;
};

} // namespace trace
