zel_add_test(app_e2e_test
    SOURCES e2e/app_e2e_test.cpp
    LIBS zel_app_under_test nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS e2e
    TIMEOUT 300)
add_dependencies(app_e2e_test zel-desktop-agent)

# An MCP client against the same built app: a script of node's own test runner.
find_program(ZEL_NODE node REQUIRED)
add_test(NAME mcp_e2e_test
         COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/mcp_e2e.test.mjs")
set_tests_properties(mcp_e2e_test PROPERTIES
    ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>;ZEL_E2E_SCREENS=${CMAKE_BINARY_DIR}/e2e-screens"
    RESOURCE_LOCK "control_port;agent_port"
    LABELS e2e
    TIMEOUT 300)

# cpack packs the build tree's app: built with it, checked by lintian (about half a minute).
zel_add_test(package_e2e_test
    SOURCES e2e/package_e2e_test.cpp
    LIBS zel_app_under_test nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS package e2e
    TIMEOUT 300)
add_dependencies(package_e2e_test zel-desktop-agent zel_package_docs)
target_compile_definitions(package_e2e_test PRIVATE ZEL_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}")

# The same app with no X server: on a headless sway, and on a headless mutter through the portal.
zel_add_test(app_wayland_e2e_test
    SOURCES e2e/app_wayland_e2e_test.cpp
    LIBS zel_app_under_test zel_platform_wayland nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS e2e
    TIMEOUT 300)
add_dependencies(app_wayland_e2e_test zel-desktop-agent)

# The phone's web client in Chromium against the same built app, typing into an X client.
add_test(NAME phone_e2e_test
         COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/phone_e2e.test.mjs")
set_tests_properties(phone_e2e_test PROPERTIES
    ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>"
    RESOURCE_LOCK "control_port;agent_port"
    LABELS e2e
    TIMEOUT 300)

# The owner's control of who is connected: pairing, the code off the screen, 断开, a fresh code.
add_test(NAME trust_e2e_test
         COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/trust_e2e.test.mjs")
set_tests_properties(trust_e2e_test PROPERTIES
    ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>"
    RESOURCE_LOCK "control_port;agent_port"
    LABELS e2e
    TIMEOUT 300)

# Unattended access: a paired phone back after the app restarts at the owner's own address.
add_test(NAME restart_e2e_test
         COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/restart_e2e.test.mjs")
set_tests_properties(restart_e2e_test PROPERTIES
    ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>"
    RESOURCE_LOCK "control_port;agent_port"
    LABELS e2e
    TIMEOUT 300)

# A moving area as H.264, decoded by the phone's browser (WebCodecs), against the same built app.
add_test(NAME video_e2e_test
         COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/video_e2e.test.mjs")
set_tests_properties(video_e2e_test PROPERTIES
    ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>"
    RESOURCE_LOCK "control_port;agent_port"
    LABELS e2e
    TIMEOUT 300)
