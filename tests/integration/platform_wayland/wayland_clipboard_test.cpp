// The agent server's clipboard tools on a Wayland session with no X server: wl-copy and wl-paste
// found from WAYLAND_DISPLAY alone, a text copied and read back through a private headless sway.
#include "tests/support/command.hpp"
#include "tests/support/sway.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zel {
namespace {

TEST(WaylandClipboard, TheAgentServerCopiesAndReadsThroughWlClipboard) {
    const test::Sway sway("");
    std::vector<std::string> env = sway.clientEnv();
    env.emplace_back("DISPLAY="); // no X server to fall back on
    const std::string script =
        "const c = await import(process.argv[1]);"
        "const copier = c.findClipboardTool({}), reader = c.findClipboardTool({ read: true });"
        "await c.copyText(copier, process.argv[2]);"
        "console.log(JSON.stringify({ copier: copier.name, reader: reader.name,"
        " text: await c.readText(reader) }));";
    const std::string text = "剪贴板 on Wayland\nline two";
    const auto result =
        test::runCommand({"node", "--input-type=module", "-e", script,
                          std::string(ZEL_SOURCE_DIR) + "/resources/agent/src/clipboard.js", text},
                         env);
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(nlohmann::json::parse(result.output, nullptr, false),
              (nlohmann::json{{"copier", "wl-copy"}, {"reader", "wl-paste"}, {"text", text}}))
        << result.output;
}

} // namespace
} // namespace zel
