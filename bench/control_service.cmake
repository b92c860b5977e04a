# Control service figures (Google Benchmark) and the server that bench/control_load.sh loads
# with wrk. Both start a private X server through the test helpers.
if(TARGET zel_test_support)
    add_executable(control_service_bench control_service_bench.cpp)
    target_link_libraries(control_service_bench PRIVATE zel_app_platform zel_test_support
                                                        benchmark::benchmark)
    zel_target_warnings(control_service_bench)

    add_executable(control_load_server control_load_server.cpp)
    target_link_libraries(control_load_server PRIVATE zel_app_platform zel_test_support)
    zel_target_warnings(control_load_server)
endif()

# Zoom against whole screenshots, and how soon /settle answers after the screen stops changing.
if(TARGET zel_test_support)
    add_executable(screen_settle_bench screen_settle_bench.cpp)
    target_link_libraries(screen_settle_bench PRIVATE zel_app_platform zel_test_support
                                                      benchmark::benchmark)
    zel_target_warnings(screen_settle_bench)
endif()
