#include "platform/accessibility/atspi_accessibility.hpp"

#include "base/app_error.hpp"
#include "platform/accessibility/atspi_bus.hpp"
#include "platform/accessibility/atspi_elements.hpp"
#include "platform/glib_handles.hpp"

#include <atspi/atspi.h>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zel::accessibility {
namespace {

// A tree of a window that answers slowly is cut here and marked truncated.
constexpr std::chrono::seconds kTreeTimeLimit{10};
constexpr std::size_t kRememberedIds = 50'000; // elements an id resolves to, newest kept

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
            // What the agent would read the tree again for: the focus, the text now there.
            // Not after a press, which may close the element's window.
            answer["element"] = describe(element);
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
            answer["element"] = describe(element);
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

    glib::ContextPtr context_;
    glib::LoopPtr loop_;
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
