#include "platform/x11/x11_connection.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

namespace zel::x11 {

namespace {
constexpr const char* kNoAnswer = "The X server did not answer in time.";
constexpr std::chrono::milliseconds kStaleWait{250};
} // namespace

namespace {

// A stream socket to a local display ("", "unix" or a path as host), the abstract name first as
// libxcb does; -1 when there is none.
int connectLocal(const std::string& host, int display) {
    const std::string path =
        host.starts_with('/') ? host : "/tmp/.X11-unix/X" + std::to_string(display);
    for (const bool abstract : {true, false}) {
        if (abstract && host.starts_with('/')) {
            continue;
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        if (path.size() + offset >= sizeof address.sun_path) {
            return -1;
        }
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

// The display's cookie from the authority file, as libxcb would find it for a local socket.
struct Cookie {
    AuthPtr entry;
    xcb_auth_info_t info{};
};

std::unique_ptr<Cookie> localCookie(int display) {
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) != 0) {
        return nullptr;
    }
    const std::string number = std::to_string(display);
    std::array<char*, 1> types{const_cast<char*>("MIT-MAGIC-COOKIE-1")};
    std::array<int, 1> lengths{18};
    auto cookie = std::make_unique<Cookie>();
    cookie->entry.reset(
        XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(std::strlen(host.data())),
                             host.data(), static_cast<unsigned short>(number.size()),
                             number.c_str(), 1, types.data(), lengths.data()));
    if (!cookie->entry) {
        return nullptr;
    }
    cookie->info = {cookie->entry->name_length, cookie->entry->name, cookie->entry->data_length,
                    cookie->entry->data};
    return cookie;
}

// The connection set-up reads the server's answer without a limit: a server in the middle of a
// reset can accept and never answer. On our own socket a watch shuts it down at the limit, which
// ends the read with an error instead of a thread stuck for good.
ConnectionPtr connectWithin(const std::string& host, int display, std::chrono::nanoseconds limit) {
    const int fd = connectLocal(host, display);
    if (fd < 0) {
        return nullptr;
    }
    const std::unique_ptr<Cookie> cookie = localCookie(display);
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool expired = false;
    std::thread watch([&] {
        std::unique_lock guard(mutex);
        if (!done.wait_for(guard, limit, [&] { return finished; })) {
            expired = true;
            ::shutdown(fd, SHUT_RDWR);
        }
    });
    // Owns fd from here on, also when it fails.
    ConnectionPtr connection(xcb_connect_to_fd(fd, cookie ? &cookie->info : nullptr));
    {
        const std::lock_guard guard(mutex);
        finished = true;
    }
    done.notify_all();
    watch.join();
    if (expired) {
        throw std::runtime_error(kNoAnswer);
    }
    return connection;
}

} // namespace

std::shared_ptr<Connection> Connection::open(const char* displayName,
                                             std::chrono::nanoseconds limit) {
    const char* name = displayName != nullptr ? displayName : std::getenv("DISPLAY");
    char* parsedHost = nullptr;
    int display = 0;
    int screenNumber = 0;
    ConnectionPtr connection;
    if (xcb_parse_display(displayName, &parsedHost, &display, &screenNumber) != 0) {
        const CMemory<char> host(parsedHost);
        const std::string hostName = host ? host.get() : "";
        if (hostName.empty() || hostName == "unix" || hostName.starts_with('/')) {
            connection = connectWithin(hostName == "unix" ? "" : hostName, display, limit);
        }
    }
    // Remote displays (and whatever the socket above missed) take libxcb's own way.
    if (!connection) {
        connection.reset(xcb_connect(displayName, &screenNumber));
    }
    if (xcb_connection_has_error(connection.get()) != 0) {
        throw std::runtime_error(std::string("Cannot connect to the X server") +
                                 (name != nullptr ? std::string(" \"") + name + "\"" : "") + ".");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        throw std::runtime_error("The X server has no screen " + std::to_string(screenNumber) +
                                 ".");
    }
    return std::shared_ptr<Connection>(new Connection(std::move(connection), it.data));
}

bool Connection::broken() const {
    return timedOut_ || xcb_connection_has_error(connection_.get()) != 0;
}

bool Connection::timedOut() const {
    return timedOut_;
}

void Connection::throwFailure(const char* what, const xcb_generic_error_t* error) const {
    if (timedOut()) {
        throw std::runtime_error(kNoAnswer);
    }
    if (broken()) {
        throw std::runtime_error("The connection to the X server was lost.");
    }
    throw std::runtime_error(std::string("The X server refused to ") + what + " (X error " +
                             std::to_string(error != nullptr ? error->error_code : 0) + ").");
}

bool Connection::has(xcb_extension_t& extension) {
    const std::lock_guard guard(extensionsMutex_);
    const auto known = extensions_.find(&extension);
    if (known != extensions_.end()) {
        return known->second;
    }
    // xcb's own look-up waits without a limit; after a round trip its answer is already queued.
    xcb_prefetch_extension_data(connection_.get(), &extension);
    if (!sync(kReplyLimit)) {
        return false;
    }
    const xcb_query_extension_reply_t* reply =
        xcb_get_extension_data(connection_.get(), &extension);
    const bool present = reply != nullptr && reply->present != 0;
    extensions_.emplace(&extension, present);
    return present;
}

bool Connection::sync(std::chrono::nanoseconds limit) {
    xcb_generic_error_t* error = nullptr;
    const auto focus = reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus(connection_.get()).sequence, &error, limit);
    const Reply<xcb_generic_error_t> dropped(error);
    return focus != nullptr;
}

void* Connection::waitForReply(unsigned int sequence, xcb_generic_error_t** error,
                               std::chrono::steady_clock::time_point deadline) {
    *error = nullptr;
    xcb_flush(connection_.get());
    const int fd = xcb_get_file_descriptor(connection_.get());
    while (true) {
        void* answer = nullptr;
        // Also true, with nothing, once the connection has broken.
        if (xcb_poll_for_reply(connection_.get(), sequence, &answer, error) != 0) {
            return answer;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // Reading end-of-file from now on, xcb shuts the connection and wakes its waiters.
            timedOut_ = true;
            ::shutdown(fd, SHUT_RD);
            return nullptr;
        }
        // Another thread may read this reply into xcb's queue between the look and the poll,
        // leaving nothing to wake this one: the poll is cut into short slices.
        pollfd watched{fd, POLLIN, 0};
        ::poll(&watched, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 5)));
    }
}

struct ConnectionCache::State {
    std::mutex mutex;
    std::condition_variable opened;
    std::shared_ptr<Connection> connection;             // guarded by mutex
    std::exception_ptr error;                           // guarded by mutex; the last attempt's
    bool opening = false;                               // guarded by mutex
    std::chrono::steady_clock::time_point openingSince; // guarded by mutex
    std::uint64_t attempts = 0;                         // guarded by mutex; finished attempts
};

ConnectionCache::ConnectionCache(std::chrono::nanoseconds connectLimit)
    : connectLimit_(connectLimit), state_(std::make_shared<State>()) {}

std::shared_ptr<Connection> ConnectionCache::get() {
    State& state = *state_;
    std::unique_lock guard(state.mutex);
    if (state.connection && !state.connection->broken()) {
        return state.connection;
    }
    const auto now = std::chrono::steady_clock::now();
    // An attempt older than the limit met a frozen server: it is waited for only briefly, which
    // gives the thread back while the server stays frozen and the connection to the first caller
    // once it wakes.
    const bool stale = state.opening && now - state.openingSince >= connectLimit_;
    if (!state.opening) {
        // Detached and owning the state: a connect to a frozen server returns when the server
        // wakes or goes, or at twice the limit (then the next caller tries afresh), perhaps after
        // the cache has gone.
        std::thread([shared = state_, limit = connectLimit_ * 2] {
            std::shared_ptr<Connection> connection;
            std::exception_ptr error;
            try {
                connection = Connection::open(nullptr, limit);
            } catch (...) {
                error = std::current_exception();
            }
            const std::lock_guard lock(shared->mutex);
            shared->connection = std::move(connection);
            shared->error = error;
            shared->opening = false;
            ++shared->attempts;
            shared->opened.notify_all();
        }).detach();
        state.opening = true;
        state.openingSince = now;
    }
    const std::uint64_t attempts = state.attempts;
    const auto limit =
        stale ? std::min<std::chrono::nanoseconds>(connectLimit_, kStaleWait) : connectLimit_;
    if (!state.opened.wait_for(guard, limit, [&] { return state.attempts != attempts; })) {
        throw std::runtime_error(kNoAnswer);
    }
    if (state.error) {
        std::rethrow_exception(state.error);
    }
    return state.connection;
}

std::vector<Monitor> monitors(Connection& connection) {
    if (connection.broken()) {
        connection.throwFailure("list the monitors", nullptr);
    }
    xcb_connection_t* c = connection.get();
    std::vector<Monitor> result;
    // Some VNC and nested servers lack RandR; the root screen is then the one monitor.
    if (connection.has(xcb_randr_id)) {
        xcb_generic_error_t* error = nullptr;
        const auto reply = connection.reply<xcb_randr_get_monitors_reply_t>(
            xcb_randr_get_monitors(c, connection.root(), 1).sequence, &error, kReplyLimit);
        const Reply<xcb_generic_error_t> dropped(error);
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t& info = *it.data;
                result.push_back({info.x, info.y, info.width, info.height, info.primary != 0});
            }
        }
    }
    if (result.empty()) {
        if (connection.broken()) {
            connection.throwFailure("list the monitors", nullptr);
        }
        const xcb_screen_t& screen = connection.screen();
        result.push_back({0, 0, screen.width_in_pixels, screen.height_in_pixels, true});
    }
    std::stable_partition(result.begin(), result.end(), [](const Monitor& m) { return m.primary; });
    return result;
}

} // namespace zel::x11
