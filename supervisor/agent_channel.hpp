// The owner's channel to the agent server: a Unix stream socket pair whose one end the server
// gets as its descriptor 3; JSON objects go both ways, one per line. The app sends pairing codes,
// settings and the owner's decisions; the server reports devices, events and consent requests.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace zel {

class AgentChannel {
public:
    // Called on the channel's reader thread for each object that arrives, in order; lines that
    // are not a JSON object are dropped (and logged without their content).
    using MessageHandler = std::function<void(const nlohmann::json& message)>;
    // Lines longer than this end the channel: the peer is not the server we started.
    static constexpr std::size_t kMaxLine = 64 * 1024;

    // Makes the socket pair; throws std::system_error when the system refuses.
    explicit AgentChannel(MessageHandler onMessage);
    AgentChannel(const AgentChannel&) = delete;
    AgentChannel& operator=(const AgentChannel&) = delete;
    // Closes both ends and joins the reader.
    ~AgentChannel();

    // The end to hand to the child (HelperCommand::channel); close it with releaseChildEnd()
    // once the child has its copy, so that the child's end is the only one left.
    [[nodiscard]] int childEnd() const { return childEnd_; }
    void releaseChildEnd();
    // Starts reading; call once, after the child runs.
    void start();

    // Writes one line; false when the server is gone (the channel is closed then). Any thread.
    bool send(const nlohmann::json& message);

private:
    void readLoop(const std::stop_token& stop);

    MessageHandler onMessage_;
    int ownEnd_ = -1;
    int childEnd_ = -1;
    std::mutex writeMutex_;
    std::jthread reader_;
};

} // namespace zel
