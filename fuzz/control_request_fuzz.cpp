// Fuzzes the control service's request parsing and parameter reading with whatever a peer may
// send, checking the promises the routes rely on.
#include "control_service/http_codec.hpp"
#include "supervisor/agent_log.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!zel::isValidUTF8(text)) {
        return 0; // the service answers these before parsing
    }
    const auto request = zel::localHTTPRequest(text, bytes);
    const auto params = zel::screenshotRequestParams(request);

    const bool formatOK = params.format == "png" || params.format == "jpeg";
    const bool widthOK = params.width >= 320 && params.width <= 2560;
    const bool qualityOK = params.quality >= 25 && params.quality <= 90;
    // The body is exactly the tail of the received bytes.
    const bool bodyOK =
        request.body.size() <= size &&
        std::equal(request.body.begin(), request.body.end(), data + (size - request.body.size()));
    const bool secretOK = request.secret == zel::value(request.queryItems, "secret").value_or("");
    const bool defaultOK =
        request.path != "/screenshot" || !request.queryItems.empty() || request.secret.empty();
    if (!formatOK || !widthOK || !qualityOK || !bodyOK || !secretOK || !defaultOK) {
        std::abort();
    }
    const auto response = zel::httpResponseBytes("200 OK", "image/png", request.body);
    if (response.size() < request.body.size()) {
        std::abort();
    }
    return 0;
}
