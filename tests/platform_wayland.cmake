# The wlroots backends under a private headless sway, read back through the capture path and a
# recording client (wev); and a bare compositor of the test's own that lacks their protocols.
# The live view's tiles over sway's damage; the window list through the foreign-toplevel
# protocol; the agent server's clipboard through wl-clipboard.
pkg_check_modules(ZEL_WAYLAND_TEST_LIBS REQUIRED IMPORTED_TARGET wayland-server)
zel_add_test(platform_wayland_integration_test
    SOURCES integration/platform_wayland/wayland_input_test.cpp
            integration/platform_wayland/wayland_compositors_test.cpp
            integration/platform_wayland/damage_tiles_test.cpp
    LIBS zel_platform_wayland zel_capture zel_input nlohmann_json::nlohmann_json PkgConfig::ZEL_WAYLAND_TEST_LIBS
    LABELS integration
    TIMEOUT 300)
