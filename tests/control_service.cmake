zel_add_test(http_codec_test SOURCES unit/http_codec_test.cpp LIBS zel_control_service)
zel_add_test(control_service_test SOURCES integration/control_service_test.cpp
    LIBS zel_control_service LABELS integration)
# The app as started by a user on the fixed port, and the service with the app's real handlers.
zel_add_test(control_app_test SOURCES integration/control_app_test.cpp
    LIBS zel_app_platform RESOURCE_LOCK control_port LABELS integration TIMEOUT 180)
add_dependencies(control_app_test zel-desktop-agent)
target_compile_definitions(control_app_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")
