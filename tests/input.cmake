zel_add_test(input_test
    SOURCES unit/input/main_process_input_test.cpp
    LIBS zel_input)
