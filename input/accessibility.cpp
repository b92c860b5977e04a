#include "input/accessibility.hpp"

#include "base/app_error.hpp"

#include <charconv>

namespace zel {
namespace {

int boundedNumber(const nlohmann::json& query, const char* name, int fallback, int max) {
    const auto found = query.find(name);
    if (found == query.end() || !found->is_string() ||
        found->get_ref<const std::string&>().empty()) {
        return fallback;
    }
    const auto& text = found->get_ref<const std::string&>();
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > max) {
        throw AppError(std::string("\"") + name + "\" must be a whole number from 1 to " +
                       std::to_string(max) + ".");
    }
    return value;
}

} // namespace

AccessibilityTreeRequest parseAccessibilityTreeQuery(const nlohmann::json& query) {
    AccessibilityTreeRequest request;
    if (const auto window = query.find("window");
        window != query.end() && window->is_string() && *window != "focused") {
        request.window = window->get<std::string>();
    }
    if (const auto pid = query.find("pid"); pid != query.end() && pid->is_string()) {
        request.pid = boundedNumber(query, "pid", 0, 0x3fffffff);
    }
    request.depth =
        boundedNumber(query, "depth", kDefaultAccessibilityDepth, kMaxAccessibilityDepth);
    request.limit =
        boundedNumber(query, "limit", kDefaultAccessibilityNodes, kMaxAccessibilityNodes);
    return request;
}

AccessibilityActRequest parseAccessibilityAct(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) {
        throw AppError("The body must be a JSON object: {\"id\":…, \"action\":…}.");
    }
    for (const auto& [key, value] : json.items()) {
        if (key != "id" && key != "action" && key != "text") {
            throw AppError("Unknown field \"" + key +
                           "\": give id, action and, for set_text, text.");
        }
    }
    AccessibilityActRequest request;
    const auto id = json.find("id");
    if (id == json.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) {
        throw AppError("\"id\" must be an element id from the accessibility tree.");
    }
    request.id = id->get<std::string>();
    const auto action = json.find("action");
    const std::string name =
        action != json.end() && action->is_string() ? action->get<std::string>() : "";
    if (name == "press") {
        request.action = AccessibilityAction::press;
    } else if (name == "focus") {
        request.action = AccessibilityAction::focus;
    } else if (name == "set_text") {
        request.action = AccessibilityAction::setText;
    } else {
        throw AppError(R"("action" must be "press", "focus" or "set_text".)");
    }
    const auto text = json.find("text");
    if (request.action == AccessibilityAction::setText) {
        if (text == json.end() || !text->is_string()) {
            throw AppError("set_text needs \"text\", a string.");
        }
        request.text = text->get<std::string>();
        if (request.text.size() > kMaxAccessibilityText) {
            throw AppError("\"text\" is longer than " + std::to_string(kMaxAccessibilityText) +
                           " bytes.");
        }
    } else if (text != json.end()) {
        throw AppError("\"text\" belongs to set_text only.");
    }
    return request;
}

} // namespace zel
