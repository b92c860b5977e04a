#include "control_service/routes.hpp"

#include "base/app_error.hpp"
#include "base/unicode_text.hpp"
#include "control_service/connection.hpp"
#include "control_service/http_codec.hpp"
#include "control_service/settle_route.hpp"

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

// GET /tiles?since=N&width=W&quality=Q&wait=MS[&copies=1][&pointer=1][&video=BPS[&videoWidth=W]]:
// answered once the screen has changed after N, or after the wait (≤ 25 s) with no tiles; the wait
// holds no thread. Without change tracking (no handlers, or a change source that cannot watch) the
// answer is 501, on which the agent server takes whole screenshots instead.
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
        Poll(std::int64_t since, bool copies, bool pointer, int videoBitrate, int videoWidth,
             ScreenshotRequestParams params, std::shared_ptr<Connection> connection,
             asio::io_context& io)
            : since(static_cast<std::uint64_t>(std::max<std::int64_t>(0, since))), copies(copies),
              pointer(pointer), videoBitrate(videoBitrate), videoWidth(videoWidth),
              params(std::move(params)), connection(std::move(connection)), timer(io) {}
        std::atomic<bool> answered = false;
        std::uint64_t since;
        bool copies;
        bool pointer;
        int videoBitrate; // 0: tiles only
        int videoWidth;   // the viewer shows the frame this wide; 0: as it is
        ScreenshotRequestParams params;
        std::shared_ptr<Connection> connection;
        asio::steady_timer timer;
    };
    // A video stream's rate in bits/s: anything outside 100 kbit/s to 50 Mbit/s asks for none.
    const std::int64_t video = number("video");
    const std::int64_t videoWidth = number("videoWidth");
    auto poll = std::make_shared<Poll>(
        number("since"), number("copies") == 1, number("pointer") == 1,
        video >= 100'000 && video <= 50'000'000 ? static_cast<int>(video) : 0,
        videoWidth >= 320 && videoWidth <= 2560 ? static_cast<int>(videoWidth) : 0,
        screenshotRequestParams(request), connection, service.io);
    const auto answer = [&service](const std::shared_ptr<Poll>& poll) {
        if (poll->answered.exchange(true)) {
            return;
        }
        asio::post(service.capturePool, [poll, &service] {
            try {
                const auto body = service.config.handlers.tiles(
                    poll->since, static_cast<int>(poll->params.width),
                    static_cast<int>(poll->params.quality), poll->copies, poll->pointer,
                    poll->videoBitrate, poll->videoWidth);
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
