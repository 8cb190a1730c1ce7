#include "trace/TraceFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <unistd.h>

namespace trace {

TraceFile::TraceFile(std::string path, std::ostream& errors)
    : m_path(std::move(path)), m_errors(errors) {
    // Appending keeps the trace of an earlier run, which is what someone chasing a crash needs
    // after restarting with the same option.
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        turnOff(errno);
        return;
    }
    m_on.store(true);
}

TraceFile::~TraceFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void TraceFile::writeLine(std::string_view line) {
    std::lock_guard lock(m_mutex);
    if (!isOn()) {
        return;
    }
    m_line.assign(line);
    m_line += '\n';
    // One write per line: with O_APPEND the line lands whole at the end even when another
    // process appends to the same file.
    std::size_t done = 0;
    while (done < m_line.size()) {
        const ssize_t n = ::write(m_fd, m_line.data() + done, m_line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            turnOff(n < 0 ? errno : EIO);
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void TraceFile::turnOff(int error) {
    m_on.store(false);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_errors << "trace " << m_path << ": " << std::strerror(error) << "; trace turned off"
             << std::endl;
}

} // namespace trace
