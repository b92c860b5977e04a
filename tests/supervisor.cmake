zel_add_test(supervisor_test
    SOURCES unit/supervisor/tunnel_test.cpp
    LIBS zel_supervisor)

# The helper runner with real children.
zel_add_test(supervisor_integration_test
    SOURCES integration/supervisor/helper_process_test.cpp
    LIBS zel_supervisor nlohmann_json::nlohmann_json
    LABELS integration
    RESOURCE_LOCK agent_port
    TIMEOUT 300)
