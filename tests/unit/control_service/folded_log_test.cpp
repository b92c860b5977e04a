// Folding of repeated error lines: what reaches the log for a flood (also from several threads),
// for lines that alternate and when more distinct lines arrive than are remembered.
#include "control_service/folded_log.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <thread>

namespace {

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
