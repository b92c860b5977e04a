// The control service's codec: targets, secrets, bodies, parameter readings, response bytes
// (the fuzzers check the promises the routes rely on for any bytes).
#include "control_service/control_service.hpp"
#include "control_service/folded_log.hpp"
#include "control_service/http_codec.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <thread>

namespace {

std::string str(const std::vector<std::uint8_t>& data) {
    return {data.begin(), data.end()};
}
zel::LocalHTTPRequest parse(std::string_view text) {
    return zel::localHTTPRequest(text,
                                 {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(HttpCodec, ParsesTargetSecretAndBody) {
    // name, request text, path, secret, body
    const std::tuple<const char*, std::string, std::string, std::string, std::string> cases[] = {
        {"leading blank lines", "\r\n\r\nGET /input?secret=S HTTP/1.1\r\nH: v", "/input", "S",
         "GET /input?secret=S HTTP/1.1\r\nH: v"},
        {"query alone", "GET ?secret=S HTTP/1.1", "", "S", ""},
        {"first secret wins, valueless", "GET /x?secret&secret=B HTTP/1.1", "/x", "", ""},
        // A decoded NUL is a byte like any other, in values and in names.
        {"NUL in the value", "GET /x?secret=S%00junk HTTP/1.1", "/x", std::string("S\0junk", 6),
         ""},
        {"NUL in a name", "GET /x?secret%00x=WRONG&secret=S HTTP/1.1", "/x", "S", ""},
        {"encoded name, plus kept", "GET /x?%73ecret=a+b%2B%20c HTTP/1.1", "/x", "a+b+ c", ""},
        {"bad escape", "GET /x%zz?secret=S HTTP/1.1", "/screenshot", "", ""},
        {"non-ASCII target", "GET /\xc3\xa9?secret=S HTTP/1.1", "/screenshot", "", ""},
        {"fragment", "GET /input#f?secret=S HTTP/1.1", "/input", "", ""},
        {"line feeds alone", "GET /input?secret=S HTTP/1.1\nHost: x\n\nbody", "/input", "S", ""},
        {"Content-Length ignored", "POST /i HTTP/1.1\r\nContent-Length: 20\r\n\r\n0123", "/i", "",
         "0123"},
        {"NUL and multi-byte body", std::string("GET / HTTP/1.1\r\n\r\n\0\xe4\xbd\xa0", 22), "/",
         "", std::string("\0\xe4\xbd\xa0", 4)},
    };
    for (const auto& [name, text, path, secret, body] : cases) {
        const auto request = parse(text);
        EXPECT_EQ(std::tie(request.path, request.secret), std::tie(path, secret)) << name;
        EXPECT_EQ(str(request.body), body) << name;
    }
    const std::vector<zel::QueryItem> items{
        {"a", std::nullopt}, {"b", ""}, {"c", "1=2"}, {"d", "="}};
    EXPECT_EQ(parse("GET /x?a&&b=&c=1=2&d=%3D HTTP/1.1").queryItems, items);
}

TEST(HttpCodec, ReadsAndClampsScreenshotParameters) {
    const std::pair<const char*, zel::ScreenshotRequestParams> cases[] = {
        {"format=JPG", {"jpeg", 960, 62}},
        {"format=PNG&format=jpeg&width&width=800", {"png", 960, 62}},
        {"width=+640", {"jpeg", 640, 62}},
        {"width=640px", {"jpeg", 960, 62}},
        {"width=319&quality=100", {"jpeg", 320, 90}},
        {"width=2561&quality=-1", {"jpeg", 2560, 25}},
        {"width=9223372036854775808", {"jpeg", 960, 62}},
    };
    for (const auto& [query, expected] : cases) {
        SCOPED_TRACE(query);
        const auto request = parse(std::string("GET /screenshot?") + query + " HTTP/1.1");
        EXPECT_EQ(zel::screenshotRequestParams(request), expected);
    }
}

TEST(HttpCodec, WritesResponses) {
    const std::vector<std::uint8_t> binary(70'000, 0);
    EXPECT_EQ(str(zel::httpResponseBytes("200 OK", "image/jpeg", binary)),
              "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 70000\r\n"
              "Connection: close\r\n\r\n" +
                  std::string(70'000, '\0'));
}

// Folding of repeated error lines: what reaches the log for a flood (also from several threads),
// for lines that alternate and when more distinct lines arrive than are remembered.
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Lines are letters: "ABB" appends "A\n", "B\n", "B\n", on each of `threads` threads at once.
TEST(FoldedLog, RepeatsAreCountedAndReportedOnceTheIntervalPasses) {
    struct Case {
        const char* name;
        std::chrono::milliseconds interval;
        std::size_t maxDistinct;
        std::string appended, whileRunning, atTheEnd; // the last: after those, sorted
        int threads = 1;
    };
    const Case cases[] = {
        {"a flood within the interval", 1h, 8, "AAA", "A", "A (2 more like this)\n"},
        {"alternating", 1h, 8, "ABABB", "AB", "A (1 more like this)\nB (2 more like this)\n"},
        {"past the interval each line is written", 0ms, 8, "AA", "AA", ""},
        {"beyond the remembered lines nothing is folded", 1h, 1, "ABB", "ABB", ""},
        {"four threads", 1h, 8, std::string(2500, 'A'), "A", "A (9999 more like this)\n", 4},
    };
    const auto lines = [](const std::string& letters) {
        Lines out;
        for (const char letter : letters) {
            out.push_back(std::string(1, letter) + "\n");
        }
        return out;
    };
    for (const auto& c : cases) {
        Lines written; // the writer runs under the log's lock
        {
            zel::control::FoldedLog log([&](std::string_view line) { written.emplace_back(line); },
                                        c.interval, c.maxDistinct);
            std::vector<std::jthread> threads;
            threads.reserve(c.threads);
            for (int t = 0; t < c.threads; ++t) {
                threads.emplace_back([&] {
                    for (const auto& line : lines(c.appended)) {
                        log.append(line);
                    }
                });
            }
            threads.clear();
            EXPECT_EQ(written, lines(c.whileRunning)) << c.name;
        }
        const auto end = written.begin() + static_cast<std::ptrdiff_t>(c.whileRunning.size());
        std::sort(end, written.end());
        EXPECT_EQ(std::accumulate(end, written.end(), std::string()), c.atTheEnd) << c.name;
    }
}

} // namespace
