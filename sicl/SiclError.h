#pragma once

#include <stdexcept>
#include <string>

namespace sicl {

/// The error a wrapper raises when the library reports a failure: the library's own error
/// number (sign-extended, no offset) and its error text.
class SiclError : public std::runtime_error {
public:
    SiclError(int number, std::string description)
        : std::runtime_error(description), m_number(number), m_description(std::move(description)) {
    }

    /// The library's error number exactly as vb_igeterrno returned it.
    int number() const noexcept { return m_number; }
    /// The library's error text, up to its first NUL.
    const std::string& description() const noexcept { return m_description; }

private:
    int m_number;
    std::string m_description;
};

} // namespace sicl
