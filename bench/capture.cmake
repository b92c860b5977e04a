# Screenshot figures on a private 1920x1080 Xvfb beside the scrot + convert peer.
if(TARGET zel_test_support AND TARGET zel_platform_x11)
    add_executable(capture_screenshot_bench capture_screenshot_bench.cpp)
    target_link_libraries(capture_screenshot_bench PRIVATE zel_platform_x11 zel_test_support
                                                           benchmark::benchmark)
    zel_target_warnings(capture_screenshot_bench)
endif()
# The same picture as the wallpaper of a private headless sway, through the Wayland backend.
if(TARGET zel_test_support AND TARGET zel_platform_wayland)
    add_executable(capture_wayland_bench capture_wayland_bench.cpp)
    target_link_libraries(capture_wayland_bench PRIVATE zel_platform_wayland zel_input
                                                        zel_test_support benchmark::benchmark)
    zel_target_warnings(capture_wayland_bench)
endif()
# Screenshots and input through the desktop portal on a private headless mutter.
if(TARGET zel_test_support AND TARGET zel_platform_portal)
    add_executable(capture_portal_bench capture_portal_bench.cpp)
    target_link_libraries(capture_portal_bench PRIVATE zel_platform_portal zel_input
                                                       zel_test_support benchmark::benchmark)
    zel_target_warnings(capture_portal_bench)
endif()
