// The control service's codec: request texts, targets, secrets, bodies, parameter readings and
// response bytes.
#include "control_service/http_codec.hpp"
#include "control_service/screenshot_listener.hpp"

#include <gtest/gtest.h>
#include <limits>

namespace {

using zel::QueryItem;

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string str(const std::vector<std::uint8_t>& data) {
    return {data.begin(), data.end()};
}

zel::LocalHTTPRequest parse(std::string_view text) {
    return zel::localHTTPRequest(text, bytes(text));
}

struct RequestCase {
    const char* name;
    std::string text;
    std::string path;
    std::string secret;
    std::string body;
};

TEST(HttpCodec, ParsesRequestLineTargetSecretAndBody) {
    const std::string longBody = "0123456789";
    const RequestCase cases[] = {
        {"full request",
         "GET /screenshot?secret=S1&format=PNG&width=1280 HTTP/1.1\r\nHost: x\r\n\r\n",
         "/screenshot", "S1", ""},
        {"method alone", "GET", "/screenshot", "", ""},
        {"empty text", "", "/screenshot", "", ""},
        {"leading blank lines skipped", "\r\n\r\nGET /input?secret=S HTTP/1.1\r\nH: v", "/input",
         "S", "GET /input?secret=S HTTP/1.1\r\nH: v"},
        {"query alone has empty path", "GET ?secret=S HTTP/1.1", "", "S", ""},
        {"first secret wins", "GET /x?secret=A&secret=B HTTP/1.1", "/x", "A", ""},
        {"secret without =", "GET /x?secret&secret=B HTTP/1.1", "/x", "", ""},
        {"name differing in case", "GET /x?Secret=S HTTP/1.1", "/x", "", ""},
        {"percent-encoded path", "GET /%69nput?secret=S HTTP/1.1", "/input", "S", ""},
        {"percent-encoded name", "GET /x?%73ecret=S HTTP/1.1", "/x", "S", ""},
        {"plus kept, escapes decoded", "GET /x?secret=a+b%2B%20c HTTP/1.1", "/x", "a+b+ c", ""},
        {"target with port", "GET :8788/input?secret=S HTTP/1.1", "/input", "S", ""},
        {"bad escape", "GET /x%zz?secret=S HTTP/1.1", "/screenshot", "", ""},
        {"truncated escape", "GET /x?secret=S% HTTP/1.1", "/screenshot", "", ""},
        {"character not allowed", "GET /a<b?secret=S HTTP/1.1", "/screenshot", "", ""},
        {"non-ASCII target", "GET /\xc3\xa9?secret=S HTTP/1.1", "/screenshot", "", ""},
        {"lone CR inside target", "GET /input?secret=S\rX HTTP/1.1", "/screenshot", "", ""},
        {"fragment ends the query", "GET /input#f?secret=S HTTP/1.1", "/input", "", ""},
        {"runs of spaces", "POST    /input?secret=S    HTTP/1.1", "/input", "S", ""},
        {"line feeds alone", "GET /input?secret=S HTTP/1.1\nHost: x\n\nbody", "/input", "S", ""},
        {"body after head, Content-Length ignored",
         "POST /input?secret=S HTTP/1.1\r\nContent-Length: 20\r\n\r\n" + longBody, "/input", "S",
         longBody},
        {"second terminator stays in body", "GET / HTTP/1.1\r\n\r\nab\r\n\r\ncd", "/", "",
         "ab\r\n\r\ncd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = parse(c.text);
        EXPECT_EQ(request.path, c.path);
        EXPECT_EQ(request.secret, c.secret);
        EXPECT_EQ(str(request.body), c.body);
    }
}

TEST(HttpCodec, SplitsQueryItemsInOrder) {
    const auto request = parse("GET /x?a&&b=&c=1=2&d=%3D HTTP/1.1");
    const std::vector<QueryItem> expected{
        {"a", std::nullopt}, {"", std::nullopt}, {"b", ""}, {"c", "1=2"}, {"d", "="}};
    EXPECT_EQ(request.queryItems, expected);
    EXPECT_TRUE(parse("GET /x%zz?a=1 HTTP/1.1").queryItems.empty());
    EXPECT_TRUE(parse("GET /x HTTP/1.1").queryItems.empty());
}

TEST(HttpCodec, BodyIsTheReceivedBytesAfterTheHead) {
    // Text with a NUL and multi-byte characters: the body is a byte copy, not a C string.
    const std::string text = std::string("GET / HTTP/1.1\r\n\r\n") + '\0' + "\xe4\xbd\xa0";
    EXPECT_EQ(str(parse(text).body), std::string("\0\xe4\xbd\xa0", 4));
}

struct ParamsCase {
    const char* query;
    zel::ScreenshotRequestParams expected;
};

TEST(HttpCodec, ReadsAndClampsScreenshotParameters) {
    const ParamsCase cases[] = {
        {"", {"jpeg", 960, 62}},
        {"format=PNG&width=1280", {"png", 1280, 62}},
        {"format=png", {"png", 960, 62}},
        {"format=JPG", {"jpeg", 960, 62}},
        {"format=png%20", {"jpeg", 960, 62}},
        {"format=webp", {"jpeg", 960, 62}},
        {"format=", {"jpeg", 960, 62}},
        {"format", {"jpeg", 960, 62}},
        {"format=png&format=jpeg", {"png", 960, 62}},
        {"width=+640", {"jpeg", 640, 62}},
        {"width=0640", {"jpeg", 640, 62}},
        {"width=640px", {"jpeg", 960, 62}},
        {"width=%20640", {"jpeg", 960, 62}},
        {"width=6.4e2", {"jpeg", 960, 62}},
        {"width=+", {"jpeg", 960, 62}},
        {"width=319", {"jpeg", 320, 62}},
        {"width=2561", {"jpeg", 2560, 62}},
        {"width=-5", {"jpeg", 320, 62}},
        {"width=99999999999", {"jpeg", 2560, 62}},
        {"width=9223372036854775808", {"jpeg", 960, 62}},
        {"width=-9223372036854775808", {"jpeg", 320, 62}},
        {"width&width=800", {"jpeg", 960, 62}},
        {"quality=100", {"jpeg", 960, 90}},
        {"quality=-1", {"jpeg", 960, 25}},
        {"quality=", {"jpeg", 960, 62}},
        {"quality=50", {"jpeg", 960, 50}},
        {"quality=1.5", {"jpeg", 960, 62}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const auto request = parse(std::string("GET /screenshot?") + c.query + " HTTP/1.1");
        EXPECT_EQ(zel::screenshotRequestParams(request), c.expected);
    }
}

TEST(HttpCodec, ReadsDecimalIntegersAtTheLimits) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"0", 0},
        {"-0", 0},
        {"9223372036854775807", kMax},
        {"+9223372036854775807", kMax},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775808", kMin},
        {"-9223372036854775809", std::nullopt},
        {"00000000000000000000000042", 42},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"--1", std::nullopt},
        {"+-1", std::nullopt},
        {"1 ", std::nullopt},
        {"\xd9\xa1", std::nullopt}, // an Arabic-Indic digit is not an ASCII digit
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(zel::readDecimalInteger(text), expected);
    }
}

TEST(HttpCodec, WritesTheExactHeadAndBodyInOneBuffer) {
    EXPECT_EQ(str(zel::httpResponseBytes("403 Forbidden", "text/plain; charset=utf-8",
                                         bytes("Forbidden"))),
              "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 9\r\nConnection: close\r\n\r\nForbidden");
    EXPECT_EQ(str(zel::httpResponseBytes("200 OK", "image/png", {})),
              "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
    const std::vector<std::uint8_t> binary(70'000, 0);
    const auto response = zel::httpResponseBytes("200 OK", "image/jpeg", binary);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n"
                             "Content-Length: 70000\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(str(response).substr(0, head.size()), head);
    EXPECT_EQ(response.size(), head.size() + binary.size());
}

TEST(HttpCodec, ComparesSecretsExactly) {
    const std::string secret = "0F6A1B2C-3D4E-4F50-8A61-72B3C4D5E6F7";
    EXPECT_TRUE(zel::constantTimeEquals(secret, secret));
    EXPECT_TRUE(zel::constantTimeEquals("", ""));
    for (const std::string& other : {std::string(), secret.substr(0, 35), secret + "0",
                                     std::string("0f6a1b2c-3d4e-4f50-8a61-72b3c4d5e6f7"),
                                     secret.substr(0, 35) + "8", std::string(36, '\0')}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(zel::constantTimeEquals(secret, other));
        EXPECT_FALSE(zel::constantTimeEquals(other, secret));
    }
}

TEST(HttpCodec, WritesInputAnswersCompactWithWholeNumbersBare) {
    const auto answer = nlohmann::json::parse(
        R"({"ok":true,"action":"move","display":{"x":0.0,"y":-0.0,"width":1920.0,"height":1080.5},
            "list":[2.0,[3.0]],"big":1e300,"int":7})");
    EXPECT_EQ(
        zel::compactJSON(answer),
        R"({"action":"move","big":1e+300,"display":{"height":1080.5,"width":1920,"x":0,"y":0},)"
        R"("int":7,"list":[2,[3]],"ok":true})");
    EXPECT_THROW(zel::compactJSON(nlohmann::json("\xff")), nlohmann::json::exception);
}

} // namespace
