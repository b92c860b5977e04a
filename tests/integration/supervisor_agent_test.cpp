// The connection with the real agent server (resources/agent) and real node: its token query,
// its server listening on the agent port, the pairing link, and nothing left after the stop.
#include "supervisor_connection_fixture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool agentPortAccepts() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8787);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

class RealAgent : public zel::test::ConnectionFixture {};

TEST_F(RealAgent, StartsTheRealServerAndBuildsTheLinkFromItsToken) {
    if (agentPortAccepts()) {
        GTEST_SKIP() << "port 8787 is taken by another program";
    }
    std::filesystem::remove(agent / "src");
    std::filesystem::remove(agent);
    std::filesystem::create_directory_symlink(ZEL_SOURCE_DIR "/resources/agent", agent);
    app->toggleConnection();
    waitUntil([this] {
        return app->display.statusText == zel::kReadyStatus ||
               app->display.statusText == zel::kFailedStatus;
    });
    ASSERT_EQ(app->display.statusText, zel::kReadyStatus) << zel::test::readFile(zel::logURL());
    std::shared_ptr<zel::HelperProcess> server;
    {
        const std::lock_guard lock(app->stateMutex);
        EXPECT_TRUE(std::regex_match(app->token, std::regex("[A-Za-z0-9_-]{43}"))) << app->token;
        EXPECT_EQ(app->zelURL,
                  zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com",
                                       app->token));
        server = app->serverProcess;
    }
    EXPECT_TRUE(waitUntil(agentPortAccepts));
    EXPECT_TRUE(waitForLog("[agent] Agent server listening on http://127.0.0.1:8787"));
    app->toggleConnection();
    EXPECT_TRUE(gone(server->pid()));
    EXPECT_FALSE(agentPortAccepts());
}

} // namespace
