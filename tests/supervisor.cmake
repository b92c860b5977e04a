zel_add_test(agent_log_test
    SOURCES unit/agent_log_test.cpp
    LIBS zel_supervisor)
