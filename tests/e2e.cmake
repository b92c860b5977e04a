find_package(nlohmann_json 3 REQUIRED)
zel_add_test(app_e2e_test
    SOURCES e2e/app_e2e_test.cpp
    LIBS nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS e2e
    TIMEOUT 300)
add_dependencies(app_e2e_test zel-desktop-agent)
target_compile_definitions(app_e2e_test PRIVATE ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")
