# AT-SPI against mousepad on a private Xvfb and session bus, with the accessibility bus started by
# the backend; the routes over it.
zel_add_test(platform_accessibility_integration_test
    SOURCES integration/platform_accessibility/atspi_test.cpp
    LIBS zel_platform_accessibility zel_app_core zel_control_service
    LABELS integration
    TIMEOUT 180)
# libatspi keeps a few strings for the process's life, allocated under GLib, which has no frame
# pointers: only the slow unwinder reaches the libatspi frame that tests/lsan.supp names.
# (Read by sanitizer builds only.)
set_property(TEST platform_accessibility_integration_test APPEND PROPERTY ENVIRONMENT
             "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0")
