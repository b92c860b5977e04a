# The X11 backends on a private Xvfb, read back through the capture path and a recording client;
# and against the X servers users run: no RandR, no XTEST, 16- and 30-bit screens, a frozen one.
# The live view's tiles over Damage; zoom and settle as the app wires them. The window list under
# openbox.
zel_add_test(platform_x11_integration_test
    SOURCES integration/platform_x11/x11_servers_test.cpp
            integration/platform_x11/damage_tiles_test.cpp
            integration/platform_x11/x11_windows_test.cpp
    LIBS zel_platform_x11 zel_capture zel_input zel_control_service zel_app_core
         nlohmann_json::nlohmann_json
    LABELS integration
    TIMEOUT 300)
