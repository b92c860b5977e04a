// Fuzzes request parsing and parameter reading with whatever a peer may send, checking the
// promises the routes rely on.
#include "base/unicode_text.hpp"
#include "control_service/http_codec.hpp"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!zel::isValidUTF8(text)) {
        return 0; // the service answers these before parsing
    }
    const auto request = zel::localHTTPRequest(text, {data, size});
    const auto params = zel::screenshotRequestParams(request);
    const auto& body = request.body;
    if ((params.format != "png" && params.format != "jpeg") || params.width < 320 ||
        params.width > 2560 || params.quality < 25 || params.quality > 90 || body.size() > size ||
        !std::equal(body.begin(), body.end(), data + (size - body.size())) ||
        request.secret != zel::value(request.queryItems, "secret").value_or("") ||
        (request.path == "/screenshot" && request.queryItems.empty() && !request.secret.empty())) {
        std::abort();
    }
    return 0;
}
