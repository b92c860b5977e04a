// Request parsing and response building of the control service.
#include "control_service/http_codec.hpp"

#include "base/c_handle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <uriparser/Uri.h>

namespace zel {
namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kBase = "http://127.0.0.1";
constexpr std::string_view kDefaultPath = "/screenshot";

// Split at CR LF leaving out empty pieces: leading CR LF pairs are skipped, the first
// non-empty piece is the request line. Lone CR or LF are ordinary characters.
std::string_view requestLine(std::string_view text) {
    while (text.starts_with(kCRLF)) {
        text.remove_prefix(kCRLF.size());
    }
    return text.substr(0, text.find(kCRLF));
}

// The second word of the line split at single spaces, runs of spaces counting as one.
// Splitting is by byte: a space followed by a combining mark still separates here, which can
// only turn a target into an unparsable one (a non-ASCII byte), never grant access.
std::optional<std::string_view> secondWord(std::string_view line) {
    int index = 0;
    while (!line.empty()) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        line.remove_prefix(start);
        const auto end = line.find(' ');
        const auto word = line.substr(0, end);
        if (index == 1) {
            return word;
        }
        ++index;
        line.remove_prefix(word.size());
    }
    return std::nullopt;
}

// The text has passed the strict parse, so every "%" starts a valid escape; "+" is kept. The
// unescaped length comes from the returned end, so a decoded NUL stays part of the text.
std::string percentDecoded(std::string_view text) {
    std::string out(text);
    const char* end = uriUnescapeInPlaceExA(out.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

// "name=value&..." split at "&" and "=", empty pieces left out, names and values decoded whole:
// a decoded NUL stays part of the text, so "secret=S%00junk" is not the secret S.
std::vector<QueryItem> queryItems(const UriTextRangeA& query) {
    std::vector<QueryItem> items;
    if (query.first == nullptr) {
        return items;
    }
    std::string_view rest(query.first, static_cast<std::size_t>(query.afterLast - query.first));
    while (!rest.empty()) {
        const auto ampersand = rest.find('&');
        const std::string_view piece = rest.substr(0, ampersand);
        rest.remove_prefix(ampersand == std::string_view::npos ? rest.size() : ampersand + 1);
        if (piece.empty()) {
            continue;
        }
        const auto equals = piece.find('=');
        items.push_back(
            {percentDecoded(piece.substr(0, equals)),
             equals == std::string_view::npos
                 ? std::nullopt
                 : std::optional<std::string>(percentDecoded(piece.substr(equals + 1)))});
    }
    return items;
}

// Whole values below 2^53 (where every integer is exact) become integers; the answer is ours and
// shallow, so the recursion is bounded.
nlohmann::json wholeNumbersAsIntegers(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        constexpr double kLimit = 9007199254740992.0;
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < kLimit) {
            return static_cast<std::int64_t>(number);
        }
        return value;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, member] : value.items()) {
            out[key] = wholeNumbersAsIntegers(member);
        }
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& element : value) {
            out.push_back(wholeNumbersAsIntegers(element));
        }
        return out;
    }
    return value;
}

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return out;
}

} // namespace

LocalHTTPRequest localHTTPRequest(std::string_view text, std::span<const std::uint8_t> data) {
    LocalHTTPRequest request;
    request.path = kDefaultPath;

    const auto target = secondWord(requestLine(text));
    if (target) {
        std::string url(kBase);
        url.append(*target);
        UriUriA uri{};
        const char* errorPos = nullptr;
        const bool parsed = uriParseSingleUriExA(&uri, url.data(), url.data() + url.size(),
                                                 &errorPos) == URI_SUCCESS;
        const CHandle<UriUriA, uriFreeUriMembersA> members(&uri);
        if (parsed) {
            // RFC 3986 appendix B splits a valid URI exactly: the authority ends at the first
            // "/", "?" or "#" after "//", the path at "?" or "#".
            const std::string_view whole(url);
            const auto afterScheme = std::string_view("http://").size();
            const auto pathStart = std::min(whole.find_first_of("/?#", afterScheme), whole.size());
            const auto pathEnd = std::min(whole.find_first_of("?#", pathStart), whole.size());
            request.path = percentDecoded(whole.substr(pathStart, pathEnd - pathStart));
            request.queryItems = queryItems(uri.query);
        }
    }
    request.secret = value(request.queryItems, "secret").value_or("");

    // The text and the bytes are the same UTF-8, so the offset found in one holds in the other.
    if (const auto headEnd = text.find(kHeadEnd); headEnd != std::string_view::npos) {
        const auto start = std::min(headEnd + kHeadEnd.size(), data.size());
        request.body.assign(data.begin() + static_cast<std::ptrdiff_t>(start), data.end());
    }
    return request;
}

std::optional<std::string> value(const std::vector<QueryItem>& items, std::string_view name) {
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&](const QueryItem& item) { return item.name == name; });
    if (found == items.end()) {
        return std::nullopt;
    }
    return found->value;
}

std::optional<std::int64_t> readDecimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulate toward the negative side: its range is one larger, so INT64_MIN reads.
    std::int64_t result = 0;
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (result < (kMin + digit) / 10) {
            return std::nullopt;
        }
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == kMin) {
            return std::nullopt;
        }
        result = -result;
    }
    return result;
}

ScreenshotRequestParams screenshotRequestParams(const LocalHTTPRequest& request) {
    // No character other than P, N, G has a full lowercase mapping onto p, n or g, so ASCII
    // lowercasing decides "png" exactly as the full Unicode mapping would.
    const auto format = asciiLowercase(value(request.queryItems, "format").value_or("jpeg"));
    const auto width = readDecimalInteger(value(request.queryItems, "width").value_or(""));
    const auto quality = readDecimalInteger(value(request.queryItems, "quality").value_or(""));
    return {
        format == "png" ? "png" : "jpeg",
        std::clamp<std::int64_t>(width.value_or(960), 320, 2560),
        std::clamp<std::int64_t>(quality.value_or(62), 25, 90),
    };
}

std::vector<std::uint8_t> httpResponseBytes(std::string_view status, std::string_view contentType,
                                            std::span<const std::uint8_t> body) {
    std::string head;
    head.reserve(96 + status.size() + contentType.size());
    head.append("HTTP/1.1 ").append(status).append(kCRLF);
    head.append("Content-Type: ").append(contentType).append(kCRLF);
    head.append("Content-Length: ").append(std::to_string(body.size())).append(kCRLF);
    head.append("Connection: close\r\n\r\n");

    std::vector<std::uint8_t> bytes;
    bytes.reserve(head.size() + body.size());
    bytes.insert(bytes.end(), head.begin(), head.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::string compactJSON(const nlohmann::json& value) {
    return wholeNumbersAsIntegers(value).dump();
}

bool constantTimeEquals(std::string_view expected, std::string_view given) {
    // Walk the expected length whatever the other is, folding every difference into one value.
    unsigned difference = expected.size() == given.size() ? 0U : 1U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0U;
        difference |= static_cast<unsigned char>(expected[i]) ^ other;
    }
    return difference == 0;
}

} // namespace zel
