zel_add_test(app_unit_test
    SOURCES unit/uuid_test.cpp
    LIBS zel_app_core)

zel_add_test(app_lifecycle_test
    SOURCES integration/app_lifecycle_test.cpp
    LIBS zel_app_core
    RESOURCE_LOCK control_port
    LABELS integration)
add_dependencies(app_lifecycle_test zel-desktop-agent)
target_compile_definitions(app_lifecycle_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")

find_package(Qt6 REQUIRED COMPONENTS Test)
zel_add_test(main_window_test
    SOURCES unit/main_window_test.cpp
    LIBS zel_app_qt Qt6::Test)
set_tests_properties(main_window_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
