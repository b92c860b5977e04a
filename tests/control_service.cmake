zel_add_test(http_codec_test
    SOURCES unit/http_codec_test.cpp
    LIBS zel_control_service)
