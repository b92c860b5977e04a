#include "supervisor/public_address.hpp"

#include "base/app_error.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace zel {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A DNS name: labels of letters, digits and inner hyphens, at least two of them, 253 at most.
bool isHostname(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.find('.') == std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t end = std::min(host.find('.', start), host.size());
        const auto label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
            })) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

} // namespace

std::optional<PublicAddress> addressFromEnvironment() {
    const std::string url = variable("ZEL_PUBLIC_URL");
    const std::string token = variable("ZEL_TUNNEL_TOKEN");
    const std::string hostname = variable("ZEL_TUNNEL_HOSTNAME");
    if (!url.empty()) {
        PublicAddress own;
        own.kind = PublicAddress::Kind::own;
        own.url = url;
        return own;
    }
    if (!token.empty() || !hostname.empty()) {
        PublicAddress named;
        named.kind = PublicAddress::Kind::namedTunnel;
        named.tunnelToken = token;
        named.hostname = hostname;
        return named;
    }
    return std::nullopt;
}

PublicAddress checkedAddress(PublicAddress address) {
    switch (address.kind) {
    case PublicAddress::Kind::quickTunnel:
        return address;
    case PublicAddress::Kind::namedTunnel: {
        // The dashboard's token is base64 text of some hundred characters, no spaces.
        const std::string_view token = address.tunnelToken;
        if (token.size() < 32 || token.size() > 4096 ||
            !std::all_of(token.begin(), token.end(), [](char c) {
                return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/' || c == '=' || c == '-' || c == '_';
            })) {
            throw AppError(
                "隧道令牌无效：请从隧道服务的控制台复制完整的令牌（一长串字母和数字）。");
        }
        std::string host = lowercase(address.hostname);
        if (host.starts_with("https://")) {
            host.erase(0, 8);
        }
        while (host.ends_with("/")) {
            host.pop_back();
        }
        if (!isHostname(host)) {
            throw AppError("隧道的公网主机名无效：请填写该隧道指向 127.0.0.1:8787 的主机名，例如 "
                           "zel.example.com。");
        }
        address.hostname = host;
        return address;
    }
    case PublicAddress::Kind::own: {
        std::string url = address.url;
        while (url.ends_with("/")) {
            url.pop_back();
        }
        const std::string lowered = lowercase(url);
        const auto host =
            std::string_view(lowered).substr(std::min<std::size_t>(8, lowered.size()));
        const auto hostEnd = host.find_first_of(":/?#");
        if (!lowered.starts_with("https://") || !isHostname(host.substr(0, hostEnd)) ||
            (hostEnd != std::string_view::npos && host[hostEnd] != ':' && host[hostEnd] != '/')) {
            throw AppError("自己的地址无效：请填写手机能打开的 https 地址，例如 "
                           "https://zel.example.com（它须转发到本机的 127.0.0.1:8787）。");
        }
        address.url = url;
        return address;
    }
    }
    return address;
}

std::string fixedAddress(const PublicAddress& address) {
    switch (address.kind) {
    case PublicAddress::Kind::namedTunnel:
        return "https://" + address.hostname;
    case PublicAddress::Kind::own:
        return address.url;
    case PublicAddress::Kind::quickTunnel:
        break;
    }
    return {};
}

} // namespace zel
