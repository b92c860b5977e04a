#include "platform/accessibility/atspi_elements.hpp"

#include "base/app_error.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace zel::accessibility {
namespace {

using StateSetPtr = CHandle<AtspiStateSet, g_object_unref>;
using RectPtr = CHandle<AtspiRect, g_free>;

constexpr std::size_t kMaxText = 500; // characters of a node's text in the tree

// The bus name and object path: what AT-SPI itself names an element by, stable while the
// application runs. Bus names hold no '/', and paths start with one.
std::string elementId(AtspiAccessible* accessible) {
    const AtspiObject* object = ATSPI_OBJECT(accessible);
    if (object->app == nullptr || object->app->bus_name == nullptr || object->path == nullptr) {
        return {};
    }
    return std::string(object->app->bus_name) + object->path;
}

std::vector<std::string> stateNames(AtspiAccessible* accessible) {
    std::vector<std::string> names;
    const StateSetPtr set(atspi_accessible_get_state_set(accessible));
    if (!set) {
        return names;
    }
    GArray* states = atspi_state_set_get_states(set.get());
    auto* type = static_cast<GEnumClass*>(g_type_class_ref(ATSPI_TYPE_STATE_TYPE));
    for (guint i = 0; i < states->len; ++i) {
        if (const GEnumValue* value = g_enum_get_value(type, g_array_index(states, gint, i))) {
            names.emplace_back(value->value_nick);
        }
    }
    g_type_class_unref(type);
    g_array_free(states, TRUE);
    return names;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    const StateSetPtr set(atspi_accessible_get_state_set(accessible));
    return set && atspi_state_set_contains(set.get(), state) != FALSE;
}

bool isWindowRole(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG ||
           role == ATSPI_ROLE_FILE_CHOOSER || role == ATSPI_ROLE_ALERT;
}

} // namespace

std::string take(gchar* text) {
    const glib::StringPtr owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

std::string lower(std::string text) {
    std::ranges::transform(text, text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<AccessiblePtr> children(AtspiAccessible* accessible) {
    std::vector<AccessiblePtr> list;
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(accessible, &error);
    if (error != nullptr) {
        g_error_free(error);
        return list;
    }
    for (gint i = 0; i < count; ++i) {
        AccessiblePtr child(atspi_accessible_get_child_at_index(accessible, i, &error));
        if (error != nullptr) {
            g_error_free(error);
            error = nullptr;
            continue;
        }
        if (child) {
            list.push_back(std::move(child));
        }
    }
    return list;
}

// One node without its children; failed reads leave their key out (an element may go while
// it is read).
nlohmann::json describe(AtspiAccessible* accessible) {
    nlohmann::json node = {{"id", elementId(accessible)}};
    GError* error = nullptr;
    const std::string role = take(atspi_accessible_get_role_name(accessible, &error));
    g_clear_error(&error);
    node["role"] = role.empty() ? "unknown" : role;
    // GTK pads menu items' names where their shortcut would stand.
    std::string name = take(atspi_accessible_get_name(accessible, &error));
    g_clear_error(&error);
    name.erase(name.find_last_not_of(" \t\n") + 1);
    name.erase(0, name.find_first_not_of(" \t\n"));
    if (!name.empty()) {
        node["name"] = std::move(name);
    }
    node["states"] = stateNames(accessible);
    if (const InterfacePtr<AtspiComponent> component{
            atspi_accessible_get_component_iface(accessible)}) {
        const RectPtr rect(
            atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error));
        g_clear_error(&error);
        // Elements that are not laid out report INT_MIN.
        if (rect && rect->width > 0 && rect->height > 0 && rect->x != G_MININT32 &&
            rect->y != G_MININT32) {
            node["bounds"] = {rect->x, rect->y, rect->width, rect->height};
        }
    }
    if (const InterfacePtr<AtspiAction> action{atspi_accessible_get_action_iface(accessible)}) {
        const gint count = atspi_action_get_n_actions(action.get(), &error);
        g_clear_error(&error);
        auto names = nlohmann::json::array();
        for (gint i = 0; i < count; ++i) {
            std::string actionName = take(atspi_action_get_action_name(action.get(), i, &error));
            g_clear_error(&error);
            if (!actionName.empty()) {
                names.push_back(std::move(actionName));
            }
        }
        if (!names.empty()) {
            node["actions"] = std::move(names);
        }
    }
    if (const InterfacePtr<AtspiText> text{atspi_accessible_get_text_iface(accessible)}) {
        const gint count = atspi_text_get_character_count(text.get(), &error);
        g_clear_error(&error);
        if (count > 0) {
            const gint end = std::min<gint>(count, static_cast<gint>(kMaxText));
            node["text"] = take(atspi_text_get_text(text.get(), 0, end, &error));
            g_clear_error(&error);
            if (count > end) {
                node["text_length"] = count;
            }
        }
    }
    return node;
}

// The window the request names: the active one, or the first whose title or application name
// holds the words (an active or showing one first), among those of `pid` when given.
Window findWindow(const AccessibilityTreeRequest& request) {
    const AccessiblePtr desktop(atspi_get_desktop(0));
    if (!desktop) {
        throw AppError("The accessibility bus offers no desktop.");
    }
    atspi_accessible_clear_cache(desktop.get());
    const std::string words = lower(request.window);
    std::optional<Window> best;
    int bestRank = -1;
    for (auto& application : children(desktop.get())) {
        GError* error = nullptr;
        const auto pid =
            static_cast<pid_t>(atspi_accessible_get_process_id(application.get(), &error));
        g_clear_error(&error);
        if (request.pid && *request.pid != pid) {
            continue;
        }
        const std::string appName = take(atspi_accessible_get_name(application.get(), &error));
        g_clear_error(&error);
        for (auto& window : children(application.get())) {
            const AtspiRole role = atspi_accessible_get_role(window.get(), &error);
            g_clear_error(&error);
            if (!isWindowRole(role)) {
                continue;
            }
            const bool active = hasState(window.get(), ATSPI_STATE_ACTIVE);
            if (words.empty() && !request.pid && !active) {
                continue;
            }
            if (!words.empty()) {
                const std::string title = take(atspi_accessible_get_name(window.get(), &error));
                g_clear_error(&error);
                if (lower(title).find(words) == std::string::npos &&
                    lower(appName).find(words) == std::string::npos) {
                    continue;
                }
            }
            const int rank = active ? 2 : hasState(window.get(), ATSPI_STATE_SHOWING) ? 1 : 0;
            if (rank > bestRank) {
                bestRank = rank;
                best = Window{std::move(window), appName, pid};
            }
        }
    }
    if (!best) {
        if (words.empty() && !request.pid) {
            throw AppError("No window that exposes its accessibility tree has the focus. "
                           "Applications started before the accessibility bus was up expose "
                           "none; restart them.");
        }
        throw AppError("No window of an application on the accessibility bus matches" +
                       (words.empty() ? std::string() : " \"" + request.window + "\"") +
                       (request.pid ? " (process " + std::to_string(*request.pid) + ")" : "") +
                       ".");
    }
    return std::move(*best);
}

} // namespace zel::accessibility
