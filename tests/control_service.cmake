zel_add_test(http_codec_test
    SOURCES unit/http_codec_test.cpp
    LIBS zel_control_service)

zel_add_test(control_service_test
    SOURCES integration/control_service_test.cpp
    LIBS zel_control_service
    LABELS integration)
