zel_add_test(input_unit_test
    SOURCES unit/input_perform_test.cpp
    LIBS zel_input)

pkg_check_modules(ZEL_INPUT_TEST_XCB REQUIRED IMPORTED_TARGET xcb-keysyms)
zel_add_test(input_x11_test
    SOURCES integration/input_x11_test.cpp
    LIBS zel_platform_x11 PkgConfig::ZEL_INPUT_TEST_XCB
    LABELS integration)
