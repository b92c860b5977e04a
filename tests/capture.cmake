zel_add_test(capture_test
    SOURCES unit/capture/screenshot_encoding_test.cpp unit/capture/capture_race_test.cpp
    LIBS zel_capture)
