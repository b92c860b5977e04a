zel_add_test(input_test
    SOURCES unit/input/input_actions_test.cpp unit/input/accessibility_test.cpp
    LIBS zel_input)
