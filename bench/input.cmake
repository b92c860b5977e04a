# perform("move") over the X11 backend on a private Xvfb and the Wayland one on a headless sway;
# the goal is a median under 0.2 ms.
if(TARGET zel_test_support)
    add_executable(input_perform_bench input_perform_bench.cpp)
    target_link_libraries(input_perform_bench PRIVATE zel_platform_x11 zel_platform_wayland
                                                      zel_test_support benchmark::benchmark)
    zel_target_warnings(input_perform_bench)
endif()
