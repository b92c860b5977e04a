#include "control_service/folded_log.hpp"

#include <iterator>

namespace zel::control {

FoldedLog::FoldedLog(Writer write, std::chrono::milliseconds interval, std::size_t maxDistinct)
    : write_(std::move(write)), interval_(interval), maxDistinct_(maxDistinct) {}

FoldedLog::~FoldedLog() {
    const std::lock_guard lock(mutex_);
    for (const auto& [line, entry] : entries_) {
        if (entry.held > 0) {
            writeLocked(line, entry.held);
        }
    }
}

void FoldedLog::writeLocked(std::string_view line, std::size_t held) {
    if (held == 0) {
        write_(line);
        return;
    }
    std::string folded(line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0)));
    folded += " (" + std::to_string(held) + " more like this)\n";
    write_(folded);
}

void FoldedLog::append(std::string_view line) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(mutex_);
    if (const auto found = entries_.find(std::string(line)); found != entries_.end()) {
        Entry& entry = found->second;
        if (now - entry.written < interval_) {
            ++entry.held;
            return;
        }
        // The held ones are reported in place of the first of them.
        writeLocked(line, entry.held);
        entry = {now, 0};
        return;
    }
    if (entries_.size() >= maxDistinct_) {
        // Lines quiet for an interval need no memory; their held counts are reported now.
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->second.written >= interval_) {
                if (it->second.held > 0) {
                    writeLocked(it->first, it->second.held);
                }
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    write_(line);
    if (entries_.size() < maxDistinct_) {
        entries_.emplace(line, Entry{now, 0});
    }
}

} // namespace zel::control
