find_package(Qt6 REQUIRED COMPONENTS Test)
zel_add_test(app_test
    SOURCES unit/app/display_state_test.cpp unit/app/main_window_test.cpp
    LIBS zel_app_qt Qt6::Test)
set_tests_properties(app_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The built app: its lifetime and occupied port, the pairing it prints for a terminal.
zel_add_test(app_integration_test
    SOURCES integration/app/lifecycle_test.cpp
    LIBS zel_app_core zel_app_under_test nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS integration
    TIMEOUT 240)
add_dependencies(app_integration_test zel-desktop-agent)

# The connection through the controller with real node over test agent trees and the stand-in
# tunnel client.
zel_add_test(app_connection_test
    SOURCES integration/app/connection_test.cpp
    LIBS zel_app_core nlohmann_json::nlohmann_json
    LABELS integration
    RESOURCE_LOCK agent_port
    TIMEOUT 300)
