# The headless GNOME desktop of bench/live_view.mjs, its portal dialogs answered when it is told.
find_package(nlohmann_json REQUIRED)
if(TARGET zel_test_support)
    add_executable(gnome_desktop gnome_desktop.cpp)
    target_link_libraries(gnome_desktop PRIVATE zel_test_support nlohmann_json::nlohmann_json)
    zel_target_warnings(gnome_desktop)
endif()
