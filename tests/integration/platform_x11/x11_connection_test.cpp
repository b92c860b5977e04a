// Opening a display on our own socket: the server's cookie is found where libxcb would find it,
// and a server that accepts but never answers (as one in the middle of a reset) gives up.
#include "platform/x11/x11_connection.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zel::x11 {
namespace {

using namespace std::chrono_literals;

TEST(X11Connection, TheCookieOfTheAuthorityFileOpensAServerThatWantsOne) {
    const test::TempDir temp;
    const std::string authority = (temp.path() / "Xauthority").string();
    // The server reads the file again when a client fails it, so the cookie may come later.
    std::ofstream(authority).flush();
    const test::Xvfb xvfb(640, 480, {"-auth", authority});
    ASSERT_EQ(std::system(("xauth -q -f " + authority + " add " + xvfb.display() +
                           " MIT-MAGIC-COOKIE-1 0123456789abcdef0123456789abcdef")
                              .c_str()),
              0);
    ::setenv("XAUTHORITY", "/nonexistent", 1);
    EXPECT_THROW(Connection::open(xvfb.display().c_str()), std::runtime_error);
    ::setenv("XAUTHORITY", authority.c_str(), 1);
    EXPECT_NE(Connection::open(xvfb.display().c_str())->root(), 0U);
    ::unsetenv("XAUTHORITY");
}

TEST(X11Connection, AServerThatAcceptsAndNeverAnswersGivesUpAtTheLimit) {
    // An abstract socket of a display number nobody uses, listening and never accepting.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int display = 900;
    for (;; ++display) {
        ASSERT_LT(display, 1000);
        const std::string name = "/tmp/.X11-unix/X" + std::to_string(display);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            break;
        }
    }
    ASSERT_EQ(::listen(listener, 4), 0);
    const std::string name = ":" + std::to_string(display);
    EXPECT_EQ(test::errorText([&] { (void)Connection::open(name.c_str(), 300ms); }),
              "The X server did not answer in time.");
    ::close(listener);
}

} // namespace
} // namespace zel::x11
