# Fuzz targets of the control service; a bounded run of each is part of the tests.
zel_add_fuzzer(control_request_fuzz
    SOURCES control_request_fuzz.cpp
    LIBS zel_control_service)
zel_add_fuzzer(control_input_fuzz
    SOURCES control_input_fuzz.cpp
    LIBS zel_control_service zel_input)

set(ZEL_CONTROL_SEEDS "${CMAKE_CURRENT_BINARY_DIR}/control_request_seeds")
file(WRITE "${ZEL_CONTROL_SEEDS}/screenshot"
    "GET /screenshot?secret=S&format=PNG&width=1280&quality=80 HTTP/1.1\r\nHost: h\r\n\r\n")
file(WRITE "${ZEL_CONTROL_SEEDS}/input"
    "POST /%69nput?secret=S HTTP/1.1\r\nContent-Length: 2\r\n\r\n{\"action\":\"click\"}")
set(ZEL_INPUT_SEEDS "${CMAKE_CURRENT_BINARY_DIR}/control_input_seeds")
file(WRITE "${ZEL_INPUT_SEEDS}/click" "{\"action\":\"click\",\"coordinate\":[500,500]}")
file(WRITE "${ZEL_INPUT_SEEDS}/drag" "{\"action\":\"drag\",\"from\":[0,0],\"to\":[1000,1000]}")
file(WRITE "${ZEL_INPUT_SEEDS}/scroll" "{\"action\":\" scroll\\n\",\"direction\":\"up\",\"amount\":3}")
file(WRITE "${ZEL_INPUT_SEEDS}/key" "{\"action\":\"key\",\"key\":\"Return\"}")

if(ZEL_BUILD_TESTS)
    # New finds go to a scratch folder (the first one named); the seeds stay as written.
    foreach(target request input)
        set(scratch "${CMAKE_CURRENT_BINARY_DIR}/control_${target}_corpus")
        file(MAKE_DIRECTORY "${scratch}")
        add_test(NAME control_${target}_fuzz
            COMMAND control_${target}_fuzz -max_total_time=5 -timeout=10 -rss_limit_mb=2048
                    "${scratch}" "${CMAKE_CURRENT_BINARY_DIR}/control_${target}_seeds")
        set_tests_properties(control_${target}_fuzz PROPERTIES TIMEOUT 60 LABELS fuzz)
    endforeach()
endif()
