#include "gateway/adapter/AdapterPlace.h"

namespace gateway::adapter {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool plainHost(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<AdapterPlace> parseAdapterPlace(std::string_view text) {
    AdapterPlace place;
    if (text.find('/') != std::string_view::npos) {
        place.path = std::string(text);
        return place;
    }
    place.kind = AdapterPlace::Kind::Tcp;
    place.port = kDefaultAdapterPort;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            return std::nullopt;
        }
        place.host = std::string(text.substr(1, close - 1));
        if (place.host.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string::npos) {
            return std::nullopt;
        }
        rest = text.substr(close + 1);
    } else {
        const std::size_t colon = text.find(':');
        if (!plainHost(text.substr(0, colon))) {
            return std::nullopt;
        }
        place.host = std::string(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (!rest.empty()) {
        const auto port = rest.front() == ':' ? parsePort(rest.substr(1)) : std::nullopt;
        if (!port) {
            return std::nullopt;
        }
        place.port = *port;
    }
    return place;
}

} // namespace gateway::adapter
