zel_add_test(control_service_test
    SOURCES unit/control_service/http_codec_test.cpp unit/control_service/folded_log_test.cpp
    LIBS zel_control_service)

# The service over real TCP with faked work, and the app started on an occupied port 8788.
zel_add_test(control_service_integration_test
    SOURCES integration/control_service/control_service_test.cpp
            integration/control_service/control_app_test.cpp
    LIBS zel_control_service
    RESOURCE_LOCK control_port
    LABELS integration
    TIMEOUT 180)
add_dependencies(control_service_integration_test zel-desktop-agent)
target_compile_definitions(control_service_integration_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")
