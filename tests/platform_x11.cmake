# The X11 backends on a private Xvfb, read back with real decoders and a window of the test's own;
# and against the X servers users run: no RandR, no XTEST, 15/16/24/30-bit screens, a frozen one.
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(ZEL_X11_TEST_LIBS REQUIRED IMPORTED_TARGET spng libturbojpeg xcb-keysyms)
zel_add_test(platform_x11_integration_test
    SOURCES integration/platform_x11/x11_input_test.cpp
            integration/platform_x11/x11_servers_test.cpp
            integration/platform_x11/x11_connection_test.cpp
    LIBS zel_platform_x11 zel_input zel_control_service PkgConfig::ZEL_X11_TEST_LIBS
         nlohmann_json::nlohmann_json
    LABELS integration
    TIMEOUT 300)
