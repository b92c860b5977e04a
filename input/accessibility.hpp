// The desktop's accessibility tree (the roles, names, states and places of the controls that
// applications expose) and actions on its elements, for clients that work by structure rather
// than by pixels. Requests are checked here; a platform serves them.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

inline constexpr int kDefaultAccessibilityDepth = 12;
inline constexpr int kMaxAccessibilityDepth = 64;
inline constexpr int kDefaultAccessibilityNodes = 400;
inline constexpr int kMaxAccessibilityNodes = 5000;
inline constexpr std::size_t kMaxAccessibilityText = 100'000; // UTF-8 bytes of a set_text

inline constexpr std::string_view kOwnElementMessage =
    "这个元素属于 Zel Desktop Agent 自己的窗口：远程设备不能操作它，请在电脑上直接操作。";

struct AccessibilityTreeRequest {
    // Empty: the window that has the focus; else words of a window's title or of its
    // application's name (case-insensitive).
    std::string window;
    std::optional<std::int64_t> pid; // only windows of this process
    int depth = kDefaultAccessibilityDepth;
    int limit = kDefaultAccessibilityNodes; // nodes in the answer, breadth first

    friend bool operator==(const AccessibilityTreeRequest&,
                           const AccessibilityTreeRequest&) = default;
};

enum class AccessibilityAction { press, focus, setText };

struct AccessibilityActRequest {
    std::string id;
    AccessibilityAction action = AccessibilityAction::press;
    std::string text; // set_text only

    friend bool operator==(const AccessibilityActRequest&,
                           const AccessibilityActRequest&) = default;
};

// From the route's query, an object of strings: "window" ("focused" or absent for the focused
// one), "pid", "depth", "limit". Throws AppError with the client's text on a bad value.
AccessibilityTreeRequest parseAccessibilityTreeQuery(const nlohmann::json& query);

// From a JSON body {"id":…, "action":"press"|"focus"|"set_text", "text":…}. Throws AppError with
// the client's text on anything else.
AccessibilityActRequest parseAccessibilityAct(std::string_view body);

// Served from the control service's input pool; both block and throw AppError with the client's
// text.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    // {"application":…, "pid":…, "nodes":N, "truncated":bool, "window":{node}}; a node is
    // {"id","role","name","states":[…],"bounds":[x,y,w,h] (desktop pixels),"actions":[…],
    // "text","children":[…],"children_omitted":N}, keys without a value left out.
    virtual nlohmann::json tree(const AccessibilityTreeRequest& request) = 0;
    // {"ok":true,"id":…,"action":…}, after focus and set_text with "element": the element's node
    // as it is then (no children); an element of our own process is refused with
    // kOwnElementMessage.
    virtual nlohmann::json act(const AccessibilityActRequest& request) = 0;
};

} // namespace zel
