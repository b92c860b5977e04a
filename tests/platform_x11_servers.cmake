# The X11 backends against the X servers users run, each on a private Xvfb: no RandR, no XTEST,
# 15/16/24/30-bit screens, a frozen server.
pkg_check_modules(ZEL_X11_SERVERS_TEST_PNG REQUIRED IMPORTED_TARGET spng)

zel_add_test(platform_x11_servers_test
    SOURCES integration/platform_x11/x11_servers_test.cpp
    LIBS zel_platform_x11 PkgConfig::ZEL_X11_SERVERS_TEST_PNG
    LABELS integration
    TIMEOUT 240)
