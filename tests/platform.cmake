zel_add_test(x11_connection_test
    SOURCES integration/x11_connection_test.cpp
    LIBS zel_platform_x11
    LABELS integration)
