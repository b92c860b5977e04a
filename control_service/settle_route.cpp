#include "control_service/settle_route.hpp"

#include "base/app_error.hpp"
#include "control_service/connection.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace zel::control {
namespace {

// GET /settle?quiet_ms=Q&limit_ms=L[&since=N]: answered once the screen has had no change for Q
// ms, or after L ms unsettled, with the boxes of what changed after sequence N (0 or none: after
// the request came). Waiting holds no thread: an Asio timer and the change log's callback, each
// look at the log on the capture pool. Without change tracking the screen is captured and
// compared with the frame before every 100 ms instead.
class Settle : public std::enable_shared_from_this<Settle> {
public:
    Settle(ServiceContext& service, std::shared_ptr<Connection> connection,
           std::chrono::milliseconds quiet, std::chrono::milliseconds limit, std::uint64_t since)
        : service_(service), connection_(std::move(connection)), quiet_(quiet), limit_(limit),
          since_(since), strand_(asio::make_strand(service.io)), timer_(strand_) {}

    void start() {
        const auto& handlers = service_.config.handlers;
        if (handlers.awaitChange && handlers.changesSince) {
            onPool([](Settle& self) { self.startWatching(); });
        } else if (handlers.compareFrames) {
            onPool([](Settle& self) {
                self.compare_ = self.service_.config.handlers.compareFrames();
                self.frameDisplay_ = self.compare_().display;
                self.onStrand([](Settle& self) { self.armTimer(); });
            });
        } else {
            connection_->sendHTTPError("Main app settle failed: Screen capture is not available.");
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFrameInterval{100};
    static constexpr std::chrono::milliseconds kFirstReport{1000};

    template <typename Work>
    void onPool(Work work) {
        asio::post(service_.capturePool, [self = shared_from_this(), work] {
            try {
                work(*self);
            } catch (const std::exception& error) {
                self->fail(displayText(error));
            }
        });
    }
    template <typename Work>
    void onStrand(Work work) {
        asio::post(strand_, [self = shared_from_this(), work] { work(*self); });
    }

    void fail(const std::string& message) {
        if (!answered_.exchange(true)) {
            connection_->sendHTTPError("Main app settle failed: " + message);
            onStrand([](Settle& self) { self.timer_.cancel(); });
        }
    }

    // On the pool: the log's sequence now, the watch started, the first callback armed.
    void startWatching() {
        const ScreenChanges now = service_.config.handlers.changesSince(since_);
        onStrand([now](Settle& self) {
            // A log that never reported is starting its watch: its first report (everything) is
            // that start, not a change.
            self.priming_ = now.sequence == 0;
            if (self.since_ == 0) {
                self.since_ = now.sequence;
            } else if (!now.boxes.empty()) {
                self.lastChange_ = Clock::now(); // changes came between `since` and the request
            }
            self.seen_ = now.sequence;
            self.awaitNext();
            self.armTimer();
        });
    }

    // On the strand.
    void awaitNext() {
        try {
            // The pointer's own moves are not the screen changing.
            service_.config.handlers.awaitChange(
                seen_,
                [weak = weak_from_this()] {
                    if (const auto self = weak.lock()) {
                        self->onStrand([](Settle& self) { self.changed(); });
                    }
                },
                true);
        } catch (const std::exception& error) {
            fail(displayText(error));
        }
    }

    void changed() {
        if (answered_) {
            return;
        }
        if (!priming_) {
            lastChange_ = Clock::now();
        }
        looking_ = true;
        onPool([](Settle& self) {
            const std::uint64_t sequence =
                self.service_.config.handlers.changesSince(self.seen_).sequence;
            self.onStrand([sequence](Settle& self) {
                self.looking_ = false;
                if (self.answered_) {
                    return; // its answer reads since_ now
                }
                if (self.priming_) {
                    self.priming_ = false;
                    self.since_ = sequence;
                }
                self.seen_ = sequence;
                self.awaitNext();
                self.armTimer();
            });
        });
    }

    // On the strand: wakes at the end of the quiet time or the limit, whichever comes first; when
    // frames are compared, at the next look.
    void armTimer() {
        if (answered_) {
            return;
        }
        const auto now = Clock::now();
        // A watch that is starting gets a second for its first report, so that a sequence taken
        // now (limit 0) already counts from it.
        const auto deadline = started_ + (priming_ ? std::max(limit_, kFirstReport) : limit_);
        const auto quietEnd = lastChange_ + quiet_;
        const bool settled = now >= quietEnd && !looking_ && !priming_;
        if (settled || now >= deadline) {
            answer(settled);
            return;
        }
        auto wake = std::min(deadline, quietEnd > now ? quietEnd : deadline);
        if (compare_) {
            wake = std::min(wake, now + kFrameInterval);
        }
        timer_.expires_at(wake);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (error || self->answered_) {
                return;
            }
            if (!self->compare_) {
                self->armTimer();
                return;
            }
            self->onPool([](Settle& self) {
                const ScreenChanges look = self.compare_();
                self.frameDisplay_ = look.display;
                auto boxes = look.boxes;
                self.onStrand([boxes = std::move(boxes)](Settle& self) {
                    if (!self.answered_ && !boxes.empty()) {
                        self.lastChange_ = Clock::now();
                        self.addFrameBoxes(boxes);
                    }
                    self.armTimer();
                });
            });
        });
    }

    // Boxes of several looks; beyond the handler's limit, their one bounding box.
    void addFrameBoxes(const std::vector<ScreenBox>& boxes) {
        constexpr std::size_t kLimit = 16;
        frameBoxes_.insert(frameBoxes_.end(), boxes.begin(), boxes.end());
        if (frameBoxes_.size() > kLimit) {
            ScreenBox all = frameBoxes_.front();
            for (const ScreenBox& box : frameBoxes_) {
                const int right = std::max(all.x + all.width, box.x + box.width);
                const int bottom = std::max(all.y + all.height, box.y + box.height);
                all.x = std::min(all.x, box.x);
                all.y = std::min(all.y, box.y);
                all.width = right - all.x;
                all.height = bottom - all.y;
            }
            frameBoxes_ = {all};
        }
    }

    void answer(bool settled) {
        if (answered_.exchange(true)) {
            return;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
        asio::post(service_.capturePool, [self = shared_from_this(), settled, elapsed] {
            try {
                ScreenChanges changes;
                if (self->compare_) {
                    changes.boxes = self->frameBoxes_;
                    changes.display = self->frameDisplay_;
                } else {
                    changes = self->service_.config.handlers.changesSince(self->since_);
                }
                auto boxes = nlohmann::json::array();
                for (const ScreenBox& box : changes.boxes) {
                    boxes.push_back({box.x, box.y, box.width, box.height});
                }
                const nlohmann::json body = {{"settled", settled},
                                             {"elapsed_ms", elapsed.count()},
                                             {"sequence", changes.sequence},
                                             {"source", self->compare_ ? "frames" : "changes"},
                                             {"boxes", std::move(boxes)},
                                             {"display",
                                              {{"x", changes.display.x},
                                               {"y", changes.display.y},
                                               {"width", changes.display.width},
                                               {"height", changes.display.height}}}};
                self->connection_->sendHTTPResponse(kStatusOK, kContentTypeJSON,
                                                    bytesOf(compactJSON(body)));
            } catch (const std::exception& error) {
                self->connection_->sendHTTPError("Main app settle failed: " + displayText(error));
            }
        });
    }

    ServiceContext& service_;
    std::shared_ptr<Connection> connection_;
    const std::chrono::milliseconds quiet_;
    const std::chrono::milliseconds limit_;
    const Clock::time_point started_ = Clock::now();
    std::atomic<bool> answered_ = false;
    // The rest belongs to the strand (or to the one pool task the strand waits for).
    std::uint64_t since_;
    std::uint64_t seen_ = 0;
    bool priming_ = false;
    bool looking_ = false;
    Clock::time_point lastChange_ = started_;
    std::function<ScreenChanges()> compare_;
    std::vector<ScreenBox> frameBoxes_;
    ScreenBox frameDisplay_; // written by the pool's looks, one at a time
    asio::strand<asio::io_context::executor_type> strand_;
    asio::steady_timer timer_;
};

} // namespace

void settleRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
                 ServiceContext& service) {
    const auto number = [&](std::string_view name, std::int64_t fallback) {
        return readDecimalInteger(value(request.queryItems, name).value_or("")).value_or(fallback);
    };
    std::make_shared<Settle>(
        service, connection,
        std::chrono::milliseconds(std::clamp<std::int64_t>(number("quiet_ms", 500), 0, 10'000)),
        std::chrono::milliseconds(std::clamp<std::int64_t>(number("limit_ms", 5'000), 0, 25'000)),
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, number("since", 0))))
        ->start();
}

} // namespace zel::control
