pkg_check_modules(ZEL_CAPTURE_TEST_LIBS REQUIRED IMPORTED_TARGET spng)
zel_add_test(capture_test
    SOURCES unit/capture/screenshot_encoding_test.cpp unit/capture/capture_race_test.cpp
            unit/capture/change_tiles_test.cpp unit/capture/change_log_test.cpp
            unit/capture/tile_plan_test.cpp unit/capture/screen_settle_test.cpp
            unit/capture/video_test.cpp
    LIBS zel_capture PkgConfig::ZEL_CAPTURE_TEST_LIBS nlohmann_json::nlohmann_json)
