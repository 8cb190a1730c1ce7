#pragma once
// A temporary file for a test to hand to a program or a trace, removed with the object.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace testsupport {

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/siclquill-test-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            ::close(fd);
        }
        m_path = name;
    }
    ~TempFile() { std::remove(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return m_path; }
    std::string contents() const {
        std::string all;
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[4096];
        for (ssize_t n = 0; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            all.append(buffer, static_cast<std::size_t>(n));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return all;
    }

private:
    std::string m_path;
};

} // namespace testsupport
