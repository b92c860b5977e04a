# The portal backends under a private headless mutter with the desktop portal, the harness
# answering the sharing dialog through mutter's own input interface.
zel_add_test(platform_portal_integration_test
    SOURCES integration/platform_portal/portal_test.cpp
    LIBS zel_platform_portal zel_capture zel_input
    LABELS integration
    TIMEOUT 300)

