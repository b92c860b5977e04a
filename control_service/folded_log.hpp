// The control service's error lines, folded: a flood of identical failures (a peer that connects
// and closes in a loop) must not grow the log by gigabytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zel::control {

class FoldedLog {
public:
    using Writer = std::function<void(std::string_view)>;

    // Each distinct line is written at most once per interval; the ones held back in between are
    // counted and reported with the next one written ("… (12 more like this)"), or at the end.
    explicit FoldedLog(Writer write, std::chrono::milliseconds interval = std::chrono::seconds(1),
                       std::size_t maxDistinct = 64);
    FoldedLog(const FoldedLog&) = delete;
    FoldedLog& operator=(const FoldedLog&) = delete;
    ~FoldedLog();

    // `line` ends with a line break.
    void append(std::string_view line);

private:
    struct Entry {
        std::chrono::steady_clock::time_point written;
        std::size_t held = 0;
    };
    void writeLocked(std::string_view line, std::size_t held);

    Writer write_;
    std::chrono::milliseconds interval_;
    std::size_t maxDistinct_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace zel::control
