# AT-SPI against mousepad on a private Xvfb and session bus, with the accessibility bus started by
# the backend; the routes over it.
zel_add_test(platform_accessibility_integration_test
    SOURCES integration/platform_accessibility/atspi_test.cpp
    LIBS zel_platform_accessibility zel_app_core zel_control_service
    LABELS integration
    TIMEOUT 180)
