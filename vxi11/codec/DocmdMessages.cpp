#include "vxi11/codec/DocmdMessages.h"

namespace vxi11 {

xdr::Bytes packElements(std::span<const std::uint32_t> values, int datasize, bool networkOrder) {
    xdr::Bytes out;
    if (datasize != 1 && datasize != 2 && datasize != 4) {
        return out;
    }
    const auto n = static_cast<std::size_t>(datasize);
    out.reserve(values.size() * n);
    for (std::uint32_t v : values) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t shift = networkOrder ? 8 * (n - 1 - i) : 8 * i;
            out.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }
    return out;
}

std::optional<std::vector<std::uint32_t>> unpackElements(xdr::ByteView data, int datasize,
                                                         bool networkOrder) {
    if (datasize != 1 && datasize != 2 && datasize != 4) {
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(datasize);
    if (data.size() % n != 0) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> out;
    out.reserve(data.size() / n);
    for (std::size_t pos = 0; pos < data.size(); pos += n) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t shift = networkOrder ? 8 * (n - 1 - i) : 8 * i;
            v |= std::uint32_t{data[pos + i]} << shift;
        }
        out.push_back(v);
    }
    return out;
}

} // namespace vxi11
