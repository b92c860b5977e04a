#include "platform/accessibility/atspi_accessibility.hpp"

#include "base/app_error.hpp"
#include "base/c_handle.hpp"
#include "platform/accessibility/atspi_bus.hpp"
#include "platform/accessibility/glib_handles.hpp"

#include <algorithm>
#include <atspi/atspi.h>
#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <gio/gio.h>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zel::accessibility {
namespace {

using AccessiblePtr = CHandle<AtspiAccessible, g_object_unref>;
using StateSetPtr = CHandle<AtspiStateSet, g_object_unref>;
using RectPtr = CHandle<AtspiRect, g_free>;

template <typename T>
using InterfacePtr = CHandle<T, g_object_unref>;

// A tree of a window that answers slowly is cut here and marked truncated.
constexpr std::chrono::seconds kTreeTimeLimit{10};
constexpr std::size_t kMaxText = 500;          // characters of a node's text in the tree
constexpr std::size_t kRememberedIds = 50'000; // elements an id resolves to, newest kept

std::string take(gchar* text) {
    const StringPtr owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

// The bus name and object path: what AT-SPI itself names an element by, stable while the
// application runs. Bus names hold no '/', and paths start with one.
std::string elementId(AtspiAccessible* accessible) {
    const AtspiObject* object = ATSPI_OBJECT(accessible);
    if (object->app == nullptr || object->app->bus_name == nullptr || object->path == nullptr) {
        return {};
    }
    return std::string(object->app->bus_name) + object->path;
}

std::string lower(std::string text) {
    std::ranges::transform(text, text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// --- reading elements ---

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

bool isWindowRole(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG ||
           role == ATSPI_ROLE_FILE_CHOOSER || role == ATSPI_ROLE_ALERT;
}

struct Window {
    AccessiblePtr window;
    std::string application;
    pid_t pid = 0;
};

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

// --- the service ---

// libatspi's state is the process's: one worker serves every instance, for the process's life.
class Worker {
public:
    Worker()
        : context_(g_main_context_new()), loop_(g_main_loop_new(context_.get(), FALSE)),
          thread_([this] { run(); }) {
        thread_.detach();
        post([this] {
            try {
                ready();
            } catch (const std::exception&) {
                // Every request tries again and answers with the reason.
            }
        });
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() = delete;

    nlohmann::json tree(const AccessibilityTreeRequest& request) {
        return call([this, request] { return readTree(request); });
    }

    nlohmann::json act(const AccessibilityActRequest& request, pid_t ownPid) {
        return call([this, request, ownPid] { return perform(request, ownPid); });
    }

private:
    void run() {
        g_main_context_push_thread_default(context_.get());
        g_main_loop_run(loop_.get());
    }

    void post(std::function<void()> work) {
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(work)),
            [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
        g_source_attach(source, context_.get());
        g_source_unref(source);
    }

    nlohmann::json call(std::function<nlohmann::json()> work) {
        auto task = std::make_shared<std::packaged_task<nlohmann::json()>>(std::move(work));
        auto answer = task->get_future();
        post([task] { (*task)(); });
        return answer.get();
    }

    // On the worker thread.
    void ready() {
        if (started_) {
            return;
        }
        startAccessibilityBus();
        const int status = atspi_init();
        if (status != 0 && status != 1) {
            throw AppError("The accessibility bus cannot be reached (libatspi " +
                           std::to_string(status) + ").");
        }
        started_ = true;
        // libatspi dispatches on the default context until told otherwise: that is the GUI's.
        atspi_set_main_context(context_.get());
    }

    void remember(const std::string& id, AtspiAccessible* accessible) {
        if (remembered_.size() >= kRememberedIds && !order_.empty()) {
            remembered_.erase(order_.front());
            order_.pop_front();
        }
        if (remembered_.try_emplace(id, AccessiblePtr(ATSPI_ACCESSIBLE(g_object_ref(accessible))))
                .second) {
            order_.push_back(id);
        }
    }

    nlohmann::json readTree(const AccessibilityTreeRequest& request) {
        ready();
        const Window found = findWindow(request);
        atspi_accessible_clear_cache(found.window.get());
        const auto deadline = std::chrono::steady_clock::now() + kTreeTimeLimit;

        // Breadth first, so that a cut keeps the upper levels whole.
        struct Entry {
            nlohmann::json node;
            AccessiblePtr accessible;
            int depth = 1;
            std::vector<std::size_t> children = {};
            std::size_t omitted = 0;
        };
        std::vector<Entry> entries;
        entries.push_back({describe(found.window.get()),
                           AccessiblePtr(ATSPI_ACCESSIBLE(g_object_ref(found.window.get()))), 1});
        bool truncated = false;
        for (std::size_t at = 0; at < entries.size(); ++at) {
            auto kids = children(entries[at].accessible.get());
            if (entries[at].depth >= request.depth) {
                entries[at].omitted = kids.size();
                truncated = truncated || !kids.empty();
                continue;
            }
            for (auto& kid : kids) {
                if (entries.size() >= static_cast<std::size_t>(request.limit) ||
                    std::chrono::steady_clock::now() > deadline) {
                    ++entries[at].omitted;
                    truncated = true;
                    continue;
                }
                entries[at].children.push_back(entries.size());
                const int depth = entries[at].depth + 1;
                entries.push_back({describe(kid.get()), std::move(kid), depth});
            }
        }
        for (const auto& entry : entries) {
            remember(entry.node["id"].get<std::string>(), entry.accessible.get());
        }
        // Children come after their parents: assembled from the end.
        for (std::size_t at = entries.size(); at-- > 0;) {
            auto& entry = entries[at];
            if (!entry.children.empty()) {
                auto list = nlohmann::json::array();
                for (const std::size_t child : entry.children) {
                    list.push_back(std::move(entries[child].node));
                }
                entry.node["children"] = std::move(list);
            }
            if (entry.omitted > 0) {
                entry.node["children_omitted"] = entry.omitted;
            }
        }
        return {{"application", found.application},
                {"pid", found.pid},
                {"nodes", entries.size()},
                {"truncated", truncated},
                {"window", std::move(entries.front().node)}};
    }

    nlohmann::json perform(const AccessibilityActRequest& request, pid_t ownPid) {
        ready();
        const auto found = remembered_.find(request.id);
        if (found == remembered_.end()) {
            throw AppError("No element \"" + request.id +
                           "\" is known: ids come from the accessibility tree; fetch it again.");
        }
        AtspiAccessible* element = found->second.get();
        atspi_accessible_clear_cache(element);
        GError* error = nullptr;
        const auto pid = static_cast<pid_t>(atspi_accessible_get_process_id(element, &error));
        check(error, "The element's application is gone");
        if (pid == ownPid) {
            throw AppError(std::string(kOwnElementMessage));
        }
        nlohmann::json answer = {{"ok", true}, {"id", request.id}};
        switch (request.action) {
        case AccessibilityAction::press:
            answer["action"] = "press";
            answer["performed"] = press(element);
            break;
        case AccessibilityAction::focus: {
            const InterfacePtr<AtspiComponent> component{
                atspi_accessible_get_component_iface(element)};
            if (!component) {
                throw AppError("This element cannot take the focus (it has no Component).");
            }
            const bool focused = atspi_component_grab_focus(component.get(), &error) != FALSE;
            check(error, "Focusing failed");
            if (!focused) {
                throw AppError("The application refused to focus this element.");
            }
            answer["action"] = "focus";
            break;
        }
        case AccessibilityAction::setText: {
            const InterfacePtr<AtspiEditableText> text{
                atspi_accessible_get_editable_text_iface(element)};
            if (!text) {
                throw AppError("This element offers no editable text.");
            }
            const bool set = atspi_editable_text_set_text_contents(text.get(), request.text.c_str(),
                                                                   &error) != FALSE;
            check(error, "Setting the text failed");
            if (!set) {
                throw AppError("The application refused the text (is the element read-only?).");
            }
            answer["action"] = "set_text";
            break;
        }
        }
        return answer;
    }

    // The element's default action: the one named like a press, else its first.
    static std::string press(AtspiAccessible* element) {
        const InterfacePtr<AtspiAction> action{atspi_accessible_get_action_iface(element)};
        GError* error = nullptr;
        const gint count = action ? atspi_action_get_n_actions(action.get(), &error) : 0;
        check(error, "The element's actions cannot be read");
        if (count <= 0) {
            throw AppError("This element has no action to press; try focus, or click its bounds.");
        }
        gint chosen = 0;
        std::string chosenName;
        for (gint i = 0; i < count; ++i) {
            const std::string name =
                lower(take(atspi_action_get_action_name(action.get(), i, &error)));
            g_clear_error(&error);
            if (i == 0) {
                chosenName = name;
            }
            if (name == "click" || name == "press" || name == "activate" || name == "jump" ||
                name == "toggle" || name == "open") {
                chosen = i;
                chosenName = name;
                break;
            }
        }
        const bool done = atspi_action_do_action(action.get(), chosen, &error) != FALSE;
        check(error, "The action failed");
        if (!done) {
            throw AppError("The application refused the action \"" + chosenName + "\".");
        }
        return chosenName.empty() ? std::to_string(chosen) : chosenName;
    }

    ContextPtr context_;
    LoopPtr loop_;
    bool started_ = false; // the worker's alone, as everything below
    std::map<std::string, AccessiblePtr> remembered_;
    std::deque<std::string> order_;
    std::thread thread_;
};

class AtspiAccessibility final : public Accessibility {
public:
    AtspiAccessibility(Worker& worker, pid_t ownPid) : worker_(worker), ownPid_(ownPid) {}

    nlohmann::json tree(const AccessibilityTreeRequest& request) override {
        return worker_.tree(request);
    }

    nlohmann::json act(const AccessibilityActRequest& request) override {
        return worker_.act(request, ownPid_);
    }

private:
    Worker& worker_;
    pid_t ownPid_;
};

} // namespace

std::shared_ptr<Accessibility> makeAtspiAccessibility(pid_t ownPid) {
    // Never destroyed: its thread waits in the GLib loop until the process ends.
    static auto* const worker = new Worker();
    return std::make_shared<AtspiAccessibility>(*worker, ownPid);
}

} // namespace zel::accessibility
