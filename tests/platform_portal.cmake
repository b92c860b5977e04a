# The portal backends under a private headless mutter with the desktop portal, the harness
# answering the sharing dialog through mutter's own input interface.
zel_add_test(platform_portal_integration_test
    SOURCES integration/platform_portal/portal_test.cpp
    LIBS zel_platform_portal zel_capture zel_input
    LABELS integration
    TIMEOUT 300)

# The built app on the same desktop, reached as the phone reaches it.
find_package(nlohmann_json 3 REQUIRED)
zel_add_test(app_portal_e2e_test
    SOURCES integration/platform_portal/app_portal_e2e_test.cpp
    LIBS nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS e2e
    TIMEOUT 300)
add_dependencies(app_portal_e2e_test zel-desktop-agent)
target_compile_definitions(app_portal_e2e_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")
