#include "control_service/routes.hpp"

#include "base/app_error.hpp"
#include "base/unicode_text.hpp"
#include "control_service/connection.hpp"
#include "control_service/http_codec.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

namespace zel::control {
namespace {

void inputRoute(std::vector<std::uint8_t> body, const std::shared_ptr<Connection>& connection,
                ServiceContext& service) {
    asio::post(service.inputPool, [connection, &service, body = std::move(body)] {
        try {
            const auto& perform = service.config.handlers.input;
            if (!perform) {
                throw AppError("Input is not available.");
            }
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            const auto json = compactJSON(perform(text));
            connection->sendHTTPResponse(kStatusOK, kContentTypeJSON, bytesOf(json));
        } catch (const std::exception& error) {
            connection->sendHTTPError("Main app input failed: " + displayText(error));
        } catch (...) {
            connection->sendHTTPError("Main app input failed: unknown error");
        }
    });
}

void screenshotRoute(ScreenshotRequestParams params, const std::shared_ptr<Connection>& connection,
                     ServiceContext& service) {
    asio::post(service.capturePool, [connection, &service, params = std::move(params)] {
        try {
            const auto& capture = service.config.handlers.screenshot;
            if (!capture) {
                throw AppError("Screen capture is not available.");
            }
            const auto image = capture(params.format, static_cast<int>(params.width),
                                       static_cast<int>(params.quality));
            connection->sendHTTPResponse(
                kStatusOK, params.format == "png" ? "image/png" : "image/jpeg", image);
        } catch (const std::exception& error) {
            connection->sendHTTPError("Main app screenshot failed: " + displayText(error));
        } catch (...) {
            connection->sendHTTPError("Main app screenshot failed: unknown error");
        }
    });
}

// "x,y,w,h": four integers, the size at least 1 × 1.
std::optional<ScreenBox> boxValue(const std::string& text) {
    std::array<std::int64_t, 4> numbers{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::size_t comma = i + 1 < numbers.size() ? text.find(',', at) : text.size();
        const auto number = readDecimalInteger(
            std::string_view(text).substr(at, comma == std::string::npos ? 0 : comma - at));
        if (comma == std::string::npos || !number || std::abs(*number) > 1'000'000) {
            return std::nullopt;
        }
        numbers.at(i) = *number;
        at = comma + 1;
    }
    if (numbers[2] < 1 || numbers[3] < 1) {
        return std::nullopt;
    }
    return ScreenBox{static_cast<int>(numbers[0]), static_cast<int>(numbers[1]),
                     static_cast<int>(numbers[2]), static_cast<int>(numbers[3])};
}

// GET /screenshot?region=x,y,w,h (desktop pixels)[&width=W]&format=…: that area at its own
// pixels, scaled down only to a narrower width.
void zoomRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
               ServiceContext& service) {
    const auto region = boxValue(value(request.queryItems, "region").value_or(""));
    if (!region) {
        connection->sendHTTPError(
            "Main app screenshot failed: region must be x,y,width,height in desktop pixels.");
        return;
    }
    const auto width = readDecimalInteger(value(request.queryItems, "width").value_or(""));
    asio::post(service.capturePool, [connection, &service,
                                     params = screenshotRequestParams(request), region = *region,
                                     width = std::clamp<std::int64_t>(width.value_or(0), 0, 2560)] {
        try {
            if (!service.config.handlers.zoom) {
                throw AppError("Screen capture is not available.");
            }
            const auto image = service.config.handlers.zoom(
                params.format, static_cast<int>(width), static_cast<int>(params.quality), region);
            connection->sendHTTPResponse(
                kStatusOK, params.format == "png" ? "image/png" : "image/jpeg", image);
        } catch (const std::exception& error) {
            connection->sendHTTPError("Main app screenshot failed: " + displayText(error));
        }
    });
}

// GET /tiles?since=N&width=W&quality=Q&wait=MS[&copies=1][&pointer=1]: answered once the screen has
// changed after N, or after the wait (≤ 25 s) with no tiles; the wait holds no thread. Without
// change tracking (no handlers, or a change source that cannot watch) the answer is 501, on which
// the agent server takes whole screenshots instead.
void tilesRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
                ServiceContext& service) {
    const auto& handlers = service.config.handlers;
    if (!handlers.awaitChange || !handlers.tiles) {
        connection->sendHTTPError("Main app tiles failed: Change tracking is not available.",
                                  kStatusNotImplemented);
        return;
    }
    const auto number = [&](std::string_view name) {
        return readDecimalInteger(value(request.queryItems, name).value_or("")).value_or(0);
    };
    struct Poll {
        Poll(std::int64_t since, bool copies, bool pointer, ScreenshotRequestParams params,
             std::shared_ptr<Connection> connection, asio::io_context& io)
            : since(static_cast<std::uint64_t>(std::max<std::int64_t>(0, since))), copies(copies),
              pointer(pointer), params(std::move(params)), connection(std::move(connection)),
              timer(io) {}
        std::atomic<bool> answered = false;
        std::uint64_t since;
        bool copies;
        bool pointer;
        ScreenshotRequestParams params;
        std::shared_ptr<Connection> connection;
        asio::steady_timer timer;
    };
    auto poll =
        std::make_shared<Poll>(number("since"), number("copies") == 1, number("pointer") == 1,
                               screenshotRequestParams(request), connection, service.io);
    const auto answer = [&service](const std::shared_ptr<Poll>& poll) {
        if (poll->answered.exchange(true)) {
            return;
        }
        asio::post(service.capturePool, [poll, &service] {
            try {
                const auto body = service.config.handlers.tiles(
                    poll->since, static_cast<int>(poll->params.width),
                    static_cast<int>(poll->params.quality), poll->copies, poll->pointer);
                poll->connection->sendHTTPResponse(kStatusOK, kContentTypeTiles, body);
            } catch (const std::exception& error) {
                poll->connection->sendHTTPError("Main app tiles failed: " + displayText(error));
            }
            poll->connection.reset();
        });
    };
    try {
        // Only a weak hold: a request answered by its time-out leaves nothing behind.
        handlers.awaitChange(
            poll->since,
            [weak = std::weak_ptr<Poll>(poll), answer] {
                if (const auto poll = weak.lock()) {
                    answer(poll);
                }
            },
            poll->pointer);
    } catch (const std::exception& error) {
        connection->sendHTTPError("Main app tiles failed: " + displayText(error),
                                  kStatusNotImplemented);
        return;
    }
    // Armed after the change log has the request, so that a failure there is the answer.
    poll->timer.expires_after(
        std::chrono::milliseconds(std::clamp<std::int64_t>(number("wait"), 0, 25'000)));
    poll->timer.async_wait([poll, answer](const asio::error_code&) { answer(poll); });
}

// GET /accessibility?window=…&pid=…&depth=…&limit=… and POST /accessibility/act: the tree and
// actions block on other applications, so they run on the input pool.
void accessibilityRoute(const LocalHTTPRequest& request,
                        const std::shared_ptr<Connection>& connection, ServiceContext& service) {
    const auto& handlers = service.config.handlers;
    if (!handlers.accessibilityTree || !handlers.accessibilityAct) {
        connection->sendHTTPError("Main app accessibility failed: Accessibility is not available.",
                                  kStatusNotImplemented);
        return;
    }
    const bool act = request.path == "/accessibility/act";
    nlohmann::json query = nlohmann::json::object();
    for (const auto& item : request.queryItems) {
        if (item.name != "secret" && !query.contains(item.name)) {
            query[item.name] = item.value.value_or("");
        }
    }
    asio::post(service.inputPool, [connection, &service, act, query = std::move(query),
                                   body = request.body] {
        try {
            const auto& handlers = service.config.handlers;
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            const auto json = compactJSON(act ? handlers.accessibilityAct(text)
                                              : handlers.accessibilityTree(query));
            connection->sendHTTPResponse(kStatusOK, kContentTypeJSON, bytesOf(json));
        } catch (const std::exception& error) {
            connection->sendHTTPError("Main app accessibility failed: " + displayText(error));
        } catch (...) {
            connection->sendHTTPError("Main app accessibility failed: unknown error");
        }
    });
}

// GET /windows and POST /windows/focus: a few round trips to the window manager, on the input
// pool (a focus waits up to a second for the window manager to report it).
void windowsRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
                  ServiceContext& service) {
    const bool focus = request.path == "/windows/focus";
    const auto& handlers = service.config.handlers;
    if (!(focus ? static_cast<bool>(handlers.focusWindow) : static_cast<bool>(handlers.windows))) {
        connection->sendHTTPError("Main app windows failed: The window list is not available on "
                                  "this desktop.",
                                  kStatusNotImplemented);
        return;
    }
    asio::post(service.inputPool, [connection, &service, focus, body = request.body] {
        try {
            const auto& handlers = service.config.handlers;
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            const auto json = compactJSON(focus ? handlers.focusWindow(text) : handlers.windows());
            connection->sendHTTPResponse(kStatusOK, kContentTypeJSON, bytesOf(json));
        } catch (const std::exception& error) {
            connection->sendHTTPError("Main app windows failed: " + displayText(error));
        }
    });
}

// GET /pointer?since=N&wait=MS: the pointer's state (JSON) once its sequence is past N, or after
// the wait (≤ 25 s) as it is; GET /pointer/shape: its shape. 501 without change tracking.
void pointerRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
                  ServiceContext& service) {
    const auto& handlers = service.config.handlers;
    if (!handlers.awaitPointer || !handlers.pointer || !handlers.pointerShape) {
        connection->sendHTTPError("Main app pointer failed: Change tracking is not available.",
                                  kStatusNotImplemented);
        return;
    }
    if (request.path == "/pointer/shape") {
        asio::post(service.capturePool, [connection, &service] {
            try {
                connection->sendHTTPResponse(kStatusOK, kContentTypePointerShape,
                                             bytesOf(service.config.handlers.pointerShape()));
            } catch (const std::exception& error) {
                connection->sendHTTPError("Main app pointer failed: " + displayText(error));
            }
        });
        return;
    }
    const auto number = [&](std::string_view name) {
        return readDecimalInteger(value(request.queryItems, name).value_or("")).value_or(0);
    };
    struct Poll {
        Poll(std::shared_ptr<Connection> connection, asio::io_context& io)
            : connection(std::move(connection)), timer(io) {}
        std::atomic<bool> answered = false;
        std::shared_ptr<Connection> connection;
        asio::steady_timer timer;
    };
    auto poll = std::make_shared<Poll>(connection, service.io);
    const auto answer = [&service](const std::shared_ptr<Poll>& poll) {
        if (poll->answered.exchange(true)) {
            return;
        }
        asio::post(service.capturePool, [poll, &service] {
            try {
                poll->connection->sendHTTPResponse(kStatusOK, kContentTypeJSON,
                                                   bytesOf(service.config.handlers.pointer()));
            } catch (const std::exception& error) {
                poll->connection->sendHTTPError("Main app pointer failed: " + displayText(error));
            }
            poll->connection.reset();
        });
    };
    try {
        const auto since = static_cast<std::uint64_t>(std::max<std::int64_t>(0, number("since")));
        handlers.awaitPointer(since, [weak = std::weak_ptr<Poll>(poll), answer] {
            if (const auto poll = weak.lock()) {
                answer(poll);
            }
        });
    } catch (const std::exception& error) {
        connection->sendHTTPError("Main app pointer failed: " + displayText(error),
                                  kStatusNotImplemented);
        return;
    }
    poll->timer.expires_after(
        std::chrono::milliseconds(std::clamp<std::int64_t>(number("wait"), 0, 25'000)));
    poll->timer.async_wait([poll, answer](const asio::error_code&) { answer(poll); });
}

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
} // namespace

void routeRequest(std::span<const std::uint8_t> bytes,
                  const std::shared_ptr<Connection>& connection, ServiceContext& service) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!isValidUTF8(text)) {
        connection->sendHTTPError("Invalid request.");
        return;
    }
    LocalHTTPRequest request = localHTTPRequest(text, bytes);
    if (!constantTimeEquals(service.config.secret, request.secret)) {
        connection->sendHTTPResponse(kStatusForbidden, kContentTypeText, bytesOf("Forbidden"));
        return;
    }
    if (request.path == "/input") {
        inputRoute(std::move(request.body), connection, service);
    } else if (request.path == "/tiles") {
        tilesRoute(request, connection, service);
    } else if (request.path == "/accessibility" || request.path == "/accessibility/act") {
        accessibilityRoute(request, connection, service);
    } else if (request.path == "/windows" || request.path == "/windows/focus") {
        windowsRoute(request, connection, service);
    } else if (request.path == "/pointer" || request.path == "/pointer/shape") {
        pointerRoute(request, connection, service);
    } else if (request.path == "/settle") {
        settleRoute(request, connection, service);
    } else if (value(request.queryItems, "region")) {
        zoomRoute(request, connection, service);
    } else {
        screenshotRoute(screenshotRequestParams(request), connection, service);
    }
}

} // namespace zel::control
