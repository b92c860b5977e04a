zel_add_test(app_e2e_test
    SOURCES e2e/app_e2e_test.cpp
    LIBS zel_app_under_test nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS e2e
    TIMEOUT 300)
add_dependencies(app_e2e_test zel-desktop-agent)

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

# Scripts of node's own test runner against the same built app: an MCP client (its screenshot left
# in e2e-screens); the phone's web client in Chromium typing into an X client; the owner's control
# of who is connected (pairing, the code off the screen, 断开, a fresh code); unattended access (a
# paired phone back after the app restarts at the owner's own address); a moving area as H.264,
# decoded by the phone's browser (WebCodecs).
find_program(ZEL_NODE node REQUIRED)
foreach(script mcp phone trust restart video)
    add_test(NAME ${script}_e2e_test
             COMMAND ${ZEL_NODE} --test "${PROJECT_SOURCE_DIR}/tests/e2e/${script}_e2e.test.mjs")
    set_tests_properties(${script}_e2e_test PROPERTIES
        ENVIRONMENT "ZEL_APP_BINARY=$<TARGET_FILE:zel-desktop-agent>;ZEL_E2E_SCREENS=${CMAKE_BINARY_DIR}/e2e-screens"
        RESOURCE_LOCK "control_port;agent_port"
        LABELS e2e
        TIMEOUT 300)
endforeach()
