// The control service's request and response codec: one request text in, one response buffer out.
// Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

struct QueryItem {
    std::string name;
    std::optional<std::string> value; // absent when the item has no "="

    bool operator==(const QueryItem&) const = default;
};

struct LocalHTTPRequest {
    std::string path; // percent-decoded; "/screenshot" when the target is missing or unparsable
    std::vector<QueryItem> queryItems;
    std::string secret;             // first "secret" item's value, or empty
    std::vector<std::uint8_t> body; // every byte after the first CR LF CR LF
};

struct ScreenshotRequestParams {
    std::string format;   // "png" or "jpeg"
    std::int64_t width;   // 320..2560
    std::int64_t quality; // 25..90

    bool operator==(const ScreenshotRequestParams&) const = default;
};

// Builds the record from the text alone; `data` are the same bytes (the caller has checked UTF-8).
// Never fails: unusable input degrades to the defaults.
LocalHTTPRequest localHTTPRequest(std::string_view text, std::span<const std::uint8_t> data);

// Value of the first item named exactly `name`; later items of that name are never looked at.
std::optional<std::string> value(const std::vector<QueryItem>& items, std::string_view name);

ScreenshotRequestParams screenshotRequestParams(const LocalHTTPRequest& request);

// A decimal integer: one optional sign, one or more ASCII digits, fitting 64 bits.
std::optional<std::int64_t> readDecimalInteger(std::string_view text);

// The complete response: the fixed head and the body, in one buffer.
std::vector<std::uint8_t> httpResponseBytes(std::string_view status, std::string_view contentType,
                                            std::span<const std::uint8_t> body);

// Time depends on the lengths only, never on where the texts differ: the secret guards a
// service that a public tunnel can reach.
bool constantTimeEquals(std::string_view expected, std::string_view given);

// The JSON of an input answer: compact, whole-valued numbers without a fraction (1920, not
// 1920.0). Throws nlohmann::json::exception when a string is not valid UTF-8.
std::string compactJSON(const nlohmann::json& value);

inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline constexpr std::string_view kStatusOK = "200 OK";
inline constexpr std::string_view kStatusForbidden = "403 Forbidden";
inline constexpr std::string_view kStatusServerError = "500 Internal Server Error";
// The app lacks what the route needs: change tracking, for /tiles (the agent server acts on it).
inline constexpr std::string_view kStatusNotImplemented = "501 Not Implemented";
inline constexpr std::string_view kContentTypeText = "text/plain; charset=utf-8";
inline constexpr std::string_view kContentTypeJSON = "application/json; charset=utf-8";
// A JSON head line, then JPEG files (ChangeTiles::tiles).
inline constexpr std::string_view kContentTypeTiles = "application/x-zel-tiles";
inline constexpr std::string_view kContentTypePointerShape = "application/x-zel-pointer-shape";

} // namespace zel
