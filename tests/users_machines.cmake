# The app on users' machines: pairing from a terminal, and the Debian package.
find_package(nlohmann_json 3 REQUIRED)

zel_add_test(terminal_qr_test
    SOURCES integration/app/terminal_qr_test.cpp
    LIBS zel_app_core nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS integration
    TIMEOUT 180)
add_dependencies(terminal_qr_test zel-desktop-agent)
target_compile_definitions(terminal_qr_test PRIVATE
    ZEL_APP_BINARY="$<TARGET_FILE:zel-desktop-agent>")

# cpack packs the build tree's app: built with it, checked by lintian (about half a minute).
zel_add_test(package_e2e_test
    SOURCES e2e/package_e2e_test.cpp
    LIBS nlohmann_json::nlohmann_json
    RESOURCE_LOCK control_port agent_port
    LABELS package e2e
    TIMEOUT 300)
add_dependencies(package_e2e_test zel-desktop-agent zel_package_docs)
target_compile_definitions(package_e2e_test PRIVATE
    ZEL_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
    ZEL_PROJECT_VERSION="${PROJECT_VERSION}")
