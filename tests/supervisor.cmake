zel_add_test(agent_log_test
    SOURCES unit/agent_log_test.cpp
    LIBS zel_supervisor)

zel_add_test(supervisor_unit_test
    SOURCES unit/supervisor_text_test.cpp unit/pairing_link_test.cpp unit/display_state_test.cpp
    LIBS zel_app_core)

zel_add_test(supervisor_runner_test
    SOURCES integration/supervisor_runner_test.cpp
    LIBS zel_supervisor
    LABELS integration)

find_package(nlohmann_json 3 REQUIRED)
zel_add_test(supervisor_connection_test
    SOURCES integration/supervisor_connection_test.cpp
    LIBS zel_app_core nlohmann_json::nlohmann_json
    LABELS integration
    RESOURCE_LOCK agent_port
    TIMEOUT 300)
