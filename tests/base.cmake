zel_add_test(base_test
    SOURCES unit/base/agent_log_test.cpp
    LIBS zel_base)
