zel_add_test(supervisor_test
    SOURCES unit/supervisor/tunnel_test.cpp
    LIBS zel_supervisor)

# The helper runner with real children; the connection through the controller with real node.
zel_add_test(supervisor_integration_test
    SOURCES integration/supervisor/helper_process_test.cpp integration/supervisor/connection_test.cpp
    LIBS zel_app_core nlohmann_json::nlohmann_json
    LABELS integration
    RESOURCE_LOCK agent_port
    TIMEOUT 300)
