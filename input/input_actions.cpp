// The input request dispatcher and the pointer and keyboard actions, over an InputBackend.
#include "input/input_actions.hpp"

#include "base/app_error.hpp"
#include "base/unicode_text.hpp"
#include "input/key_names.hpp"

#include <algorithm>
#include <array>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <limits>
#include <unicode/utf8.h>
#include <utility>
#include <vector>

namespace zel::InputActions {
namespace {

using Json = nlohmann::json;

// The first of the keys that the request holds, whatever its value; nullptr when none is there.
const Json* field(const Json& request, std::initializer_list<std::string_view> keys) {
    for (const std::string_view key : keys) {
        const auto it = request.find(key);
        if (it != request.end()) {
            return &*it;
        }
    }
    return nullptr;
}

// A text parameter: strings as they are; other values rendered, and marked so they never match.
struct FieldText {
    std::string text;
    bool isString = true;
};

// Rendering recurses once per level; a request nested deeper than this (anyone may send 32,000
// levels in 64 KiB) is named, not rendered.
constexpr std::size_t kMaxRenderedDepth = 64;

// Whether the value nests deeper than `limit`, found without recursion.
bool nestsDeeperThan(const Json& value, std::size_t limit) {
    std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [current, depth] = pending.back();
        pending.pop_back();
        if (!current->is_structured()) {
            continue;
        }
        if (depth > limit) {
            return true;
        }
        for (const auto& element : *current) {
            pending.emplace_back(&element, depth + 1);
        }
    }
    return false;
}

FieldText fieldText(const Json* value, std::string_view whenAbsent) {
    if (value == nullptr) {
        return {std::string(whenAbsent), true};
    }
    if (value->is_string()) {
        return {value->get<std::string>(), true};
    }
    if (nestsDeeperThan(*value, kMaxRenderedDepth)) {
        return {std::string(value->type_name()) + " nested too deeply", false};
    }
    return {value->dump(), false};
}

Json parseRequest(std::string_view body) {
    Json value = Json::parse(body);
    if (!value.is_object() && !value.is_array()) {
        // The request must be a document, not a fragment: a bare value fails like bad JSON does.
        const auto first = body.find_first_not_of(" \t\n\r");
        throw Json::parse_error::create(
            101, first == std::string_view::npos ? 0 : first + 1,
            "syntax error while parsing value - top-level value must be an object or array",
            nullptr);
    }
    return value;
}

Json displayJson(const DisplayBounds& bounds) {
    // The service's writer prints whole values without a fraction.
    return {{"x", bounds.x}, {"y", bounds.y}, {"width", bounds.width}, {"height", bounds.height}};
}

double normalizedFraction(double value) {
    if (std::isnan(value) || value >= 1000) {
        return 1;
    }
    if (value < 0) {
        return 0;
    }
    return value / 1000;
}

// strtod in the C locale whatever the process locale is (the GUI toolkit sets it from the user's).
std::optional<double> parseCNumber(const std::string& text) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    constexpr std::string_view kLeadingBlanks{" \t\n\v\f\r"};
    if (text.empty() || kLeadingBlanks.find(text.front()) != std::string_view::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = ::strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) {
        return std::nullopt;
    }
    return value;
}

ScreenPoint positionField(InputBackend& backend, const Json& request) {
    return point(backend, field(request, {"coordinate", "point"}));
}

// An action posts its events and may add fields to the answer.
using Action = void (*)(InputBackend&, const Json&, Json&);

template <MouseEventType kType, MouseButton kButton>
void singleEvent(InputBackend& backend, const Json& request, Json& /*answer*/) {
    backend.postMouse(kType, positionField(backend, request), kButton);
}

template <MouseButton kButton>
void clickAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    click(backend, positionField(backend, request), kButton);
}

template <int kClicks>
void multiClickAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    const ScreenPoint at = positionField(backend, request);
    for (int count = 0; count < kClicks; ++count) {
        if (count > 0) {
            backend.pause(kDoubleClickPause);
        }
        click(backend, at, MouseButton::left);
    }
}

void dragAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    const ScreenPoint from = point(backend, field(request, {"from", "start", "coordinate"}));
    const ScreenPoint to = point(backend, field(request, {"to", "end"}));
    drag(backend, from, to);
}

void scrollAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    const FieldText direction = fieldText(field(request, {"direction"}), "down");
    const double amount = number(field(request, {"amount", "delta"}), 6);
    scroll(backend,
           direction.isString ? std::optional<std::string_view>(direction.text) : std::nullopt,
           amount);
}

void pasteAction(InputBackend& backend, const Json& /*request*/, Json& /*answer*/) {
    paste(backend);
}

void keyAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    key(backend, fieldText(field(request, {"key", "text"}), "").text);
}

void keyDownAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    keyDown(backend, fieldText(field(request, {"key", "text"}), "").text);
}

void keyUpAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    keyUp(backend, fieldText(field(request, {"key", "text"}), "").text);
}

void keyComboAction(InputBackend& backend, const Json& request, Json& /*answer*/) {
    keyCombo(backend, field(request, {"keys"}));
}

void typeTextAction(InputBackend& backend, const Json& request, Json& answer) {
    const Json* text = field(request, {"text"});
    if (text == nullptr || !text->is_string()) {
        throw AppError(R"(Text to type is required: "text" as a string.)");
    }
    const std::u32string characters = typableText(text->get_ref<const std::string&>());
    const std::size_t typed = backend.typeText(characters, kTypePause);
    if (typed == 0) {
        throw AppError("This desktop cannot type text as keystrokes.");
    }
    answer["typed"] = typed;
    answer["skipped"] = characters.size() - typed;
}

constexpr std::array<std::pair<std::string_view, Action>, 21> kActions{{
    {"move", singleEvent<MouseEventType::moved, MouseButton::left>},
    {"left_click", clickAction<MouseButton::left>},
    {"click", clickAction<MouseButton::left>},
    {"double_click", multiClickAction<2>},
    {"triple_click", multiClickAction<3>},
    {"right_click", clickAction<MouseButton::right>},
    {"middle_click", clickAction<MouseButton::middle>},
    {"left_down", singleEvent<MouseEventType::leftDown, MouseButton::left>},
    {"left_drag", singleEvent<MouseEventType::leftDragged, MouseButton::left>},
    {"left_up", singleEvent<MouseEventType::leftUp, MouseButton::left>},
    {"right_down", singleEvent<MouseEventType::rightDown, MouseButton::right>},
    {"right_drag", singleEvent<MouseEventType::rightDragged, MouseButton::right>},
    {"right_up", singleEvent<MouseEventType::rightUp, MouseButton::right>},
    {"drag", dragAction},
    {"scroll", scrollAction},
    {"paste", pasteAction},
    {"key", keyAction},
    {"key_combo", keyComboAction},
    {"type_text", typeTextAction},
    {"key_down", keyDownAction},
    {"key_up", keyUpAction},
}};

constexpr std::array<std::string_view, 6> kKeyboardActions{"key",   "key_combo", "type_text",
                                                           "paste", "key_down",  "key_up"};

bool isKeyboardAction(std::string_view action) {
    return std::find(kKeyboardActions.begin(), kKeyboardActions.end(), action) !=
           kKeyboardActions.end();
}

// The "modifiers" of a pointer action, held around it: ["ctrl","shift"] or "ctrl+shift", each
// once, in the given order. Throws AppError before anything is posted for an unknown name, a key
// that is no modifier, or one the keyboard lacks.
std::vector<Key> heldModifiers(InputBackend& backend, std::string_view action, const Json* value) {
    std::vector<Key> keys;
    if (value == nullptr || value->is_null()) {
        return keys;
    }
    if (isKeyboardAction(action)) {
        throw AppError(R"("modifiers" are for pointer actions; use "key_combo" for keys.)");
    }
    std::vector<std::string> names;
    if (value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t plus = std::min(text.find('+', start), text.size());
            names.push_back(text.substr(start, plus - start));
            start = plus + 1;
        }
    } else if (value->is_array() && value->size() <= 4) {
        for (const Json& name : *value) {
            if (!name.is_string()) {
                throw AppError(R"("modifiers" must be names such as ["ctrl","shift"].)");
            }
            names.push_back(name.get<std::string>());
        }
    } else {
        throw AppError(R"("modifiers" must be up to four names such as ["ctrl","shift"].)");
    }
    for (const std::string& name : names) {
        const std::string normalized = unicodeLowercase(trimWhitespace(name));
        const std::optional<Key> key = namedKey(normalized);
        if (!key || (*key != Key::control && *key != Key::alt && *key != Key::super &&
                     *key != Key::shift)) {
            throw AppError("Unsupported modifier: " + normalized + " (ctrl, alt, super or shift).");
        }
        if (!backend.canPostKey(*key, KeyModifiers::none)) {
            throw AppError("This keyboard has no key " + normalized + ".");
        }
        if (std::find(keys.begin(), keys.end(), *key) == keys.end()) {
            keys.push_back(*key);
        }
    }
    return keys;
}

// Refuses, before anything is posted, a request that would act on one of the app's own windows:
// a pointer action whose point (a drag's either end) lies on one, keys while one has the focus.
// A scroll acts where the pointer already is, which only the local user put there.
void refuseOwnWindows(InputBackend& backend, std::string_view action, const Json& request,
                      OwnWindows& own) {
    if (action == "key_up") {
        return; // letting go of a key acts on nothing
    }
    // Held modifiers are keys too: they reach whatever has the focus.
    if (isKeyboardAction(action) || field(request, {"modifiers"}) != nullptr) {
        if (own.focused()) {
            throw AppError(std::string(kOwnWindowKeysMessage));
        }
        if (isKeyboardAction(action)) {
            return;
        }
    }
    if (action == "scroll") {
        return;
    }
    const bool onOwn =
        action == "drag"
            ? own.covers(point(backend, field(request, {"from", "start", "coordinate"}))) ||
                  own.covers(point(backend, field(request, {"to", "end"})))
            : own.covers(positionField(backend, request));
    if (onOwn) {
        throw AppError(std::string(kOwnWindowPointerMessage));
    }
}

} // namespace

Json perform(InputBackend& backend, std::string_view body, OwnWindows* own) {
    if (!backend.trusted()) {
        throw AppError(backend.notTrustedMessage());
    }
    const Json request = parseRequest(body);
    if (!request.is_object()) {
        throw AppError("Invalid input request.");
    }
    const FieldText actionField = fieldText(field(request, {"action"}), "");
    std::string action(trimWhitespace(actionField.text));
    if (action.empty()) {
        throw AppError("Input action is required.");
    }
    const auto* row = actionField.isString
                          ? std::find_if(kActions.begin(), kActions.end(),
                                         [&](const auto& entry) { return entry.first == action; })
                          : kActions.end();
    if (row == kActions.end()) {
        throw AppError("Unsupported input action: " + action);
    }
    if (own != nullptr) {
        refuseOwnWindows(backend, action, request, *own);
    }
    const std::vector<Key> modifiers =
        heldModifiers(backend, action, field(request, {"modifiers"}));
    Json answer = {{"ok", true}, {"action", action}};
    {
        const auto sequence = backend.holdSequence();
        for (const Key modifier : modifiers) {
            backend.postKey(modifier, true, KeyModifiers::none);
        }
        if (!modifiers.empty()) {
            backend.pause(kModifierPause);
        }
        row->second(backend, request, answer);
        if (!modifiers.empty()) {
            backend.pause(kModifierPause);
        }
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
            backend.postKey(*it, false, KeyModifiers::none);
        }
    }
    answer["display"] = displayJson(backend.mainDisplayBounds());
    return answer;
}

std::vector<std::string_view> actionNames() {
    std::vector<std::string_view> names;
    names.reserve(kActions.size());
    for (const auto& [name, action] : kActions) {
        names.push_back(name);
    }
    return names;
}

double number(const Json* value, double fallback) {
    if (value == nullptr) {
        return fallback;
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (value->is_number()) {
        return value->get<double>();
    }
    if (value->is_string()) {
        return parseCNumber(value->get_ref<const std::string&>()).value_or(fallback);
    }
    return fallback;
}

ScreenPoint point(InputBackend& backend, const Json* value) {
    double x = 500;
    double y = 500;
    if (value != nullptr && value->is_array() && value->size() >= 2) {
        x = number(&(*value)[0], 500);
        y = number(&(*value)[1], 500);
    }
    return pointFromNormalized(backend, x, y);
}

ScreenPoint pointFromNormalized(InputBackend& backend, double x, double y) {
    const DisplayBounds bounds = backend.mainDisplayBounds();
    return {bounds.x + normalizedFraction(x) * bounds.width,
            bounds.y + normalizedFraction(y) * bounds.height};
}

void click(InputBackend& backend, ScreenPoint at, MouseButton button) {
    const auto [down, up] = button == MouseButton::left
                                ? std::pair(MouseEventType::leftDown, MouseEventType::leftUp)
                            : button == MouseButton::right
                                ? std::pair(MouseEventType::rightDown, MouseEventType::rightUp)
                                : std::pair(MouseEventType::middleDown, MouseEventType::middleUp);
    backend.postMouse(MouseEventType::moved, at, button);
    backend.pause(kClickMovePause);
    backend.postMouse(down, at, button);
    backend.pause(kClickPressPause);
    backend.postMouse(up, at, button);
}

void drag(InputBackend& backend, ScreenPoint from, ScreenPoint to) {
    backend.postMouse(MouseEventType::moved, from, MouseButton::left);
    backend.pause(kDragMovePause);
    backend.postMouse(MouseEventType::leftDown, from, MouseButton::left);
    backend.pause(kDragPressPause);
    for (int step = 1; step <= kDragSteps; ++step) {
        const double factor = static_cast<double>(step) / kDragSteps;
        const ScreenPoint at{from.x + (to.x - from.x) * factor, from.y + (to.y - from.y) * factor};
        backend.postMouse(MouseEventType::leftDragged, at, MouseButton::left);
        backend.pause(kDragStepPause);
    }
    backend.pause(kDragReleasePause);
    backend.postMouse(MouseEventType::leftUp, to, MouseButton::left);
}

int scrollSteps(double amount) {
    if (std::isnan(amount)) {
        return 1;
    }
    return static_cast<int>(std::clamp(std::trunc(amount), 1.0, 20.0));
}

void scroll(InputBackend& backend, std::optional<std::string_view> direction, double amount) {
    const std::string toward = direction ? unicodeLowercase(*direction) : "down";
    const bool horizontal = toward == "left" || toward == "right";
    const bool positive = toward == "up" || toward == "right";
    const int delta = positive ? kScrollLinesPerStep : -kScrollLinesPerStep;
    for (int step = scrollSteps(amount); step > 0; --step) {
        if (horizontal) {
            backend.postHorizontalScroll(delta);
        } else {
            backend.postScroll(delta);
        }
        backend.pause(kScrollStepPause);
    }
}

} // namespace zel::InputActions
