find_package(Qt6 REQUIRED COMPONENTS Test)
zel_add_test(app_test
    SOURCES unit/app/uuid_test.cpp unit/app/pairing_test.cpp unit/app/display_state_test.cpp
            unit/app/main_window_test.cpp
    LIBS zel_app_qt Qt6::Test)
set_tests_properties(app_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

zel_add_test(app_integration_test
    SOURCES integration/app/lifecycle_test.cpp
    LIBS zel_app_core
    RESOURCE_LOCK control_port
    LABELS integration)
add_dependencies(app_integration_test zel-desktop-agent)
target_compile_definitions(app_integration_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")
