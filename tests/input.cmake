zel_add_test(input_unit_test
    SOURCES unit/input_dispatch_test.cpp unit/input_actions_test.cpp
    LIBS zel_input)
