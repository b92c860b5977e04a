zel_add_test(control_service_test
    SOURCES unit/control_service/http_codec_test.cpp
    LIBS zel_control_service)

# The service over real TCP with faked work.
zel_add_test(control_service_integration_test
    SOURCES integration/control_service/control_service_test.cpp
    LIBS zel_control_service
    LABELS integration)
