# The portal backends under a private headless mutter with the desktop portal, the harness
# answering the sharing dialog through mutter's own input interface; the change tiles over its
# frames.
zel_add_test(platform_portal_integration_test
    SOURCES integration/platform_portal/portal_test.cpp
    LIBS zel_platform_portal zel_capture zel_input nlohmann_json::nlohmann_json
    LABELS integration
    TIMEOUT 300)

