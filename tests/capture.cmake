# Screen capture: pure logic and encoders without a display; the X11 backend on a private Xvfb.
pkg_check_modules(ZEL_CAPTURE_TEST_CODECS REQUIRED IMPORTED_TARGET spng libturbojpeg)

zel_add_test(capture_encoding_test
    SOURCES unit/capture_encoding_test.cpp
    LIBS zel_capture PkgConfig::ZEL_CAPTURE_TEST_CODECS)

zel_add_test(capture_race_test
    SOURCES unit/capture_race_test.cpp
    LIBS zel_capture)

zel_add_test(capture_x11_test
    SOURCES integration/capture_x11_test.cpp
    LIBS zel_platform_x11 PkgConfig::ZEL_CAPTURE_TEST_CODECS
    LABELS integration
    TIMEOUT 240)
