#include "control_service/routes.hpp"

#include "base/app_error.hpp"
#include "base/unicode_text.hpp"
#include "control_service/connection.hpp"
#include "control_service/http_codec.hpp"

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
    } else {
        screenshotRoute(screenshotRequestParams(request), connection, service);
    }
}

} // namespace zel::control
