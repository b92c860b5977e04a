# Fuzz targets of the control service; a bounded run of each, from its seeds, is a test.
zel_add_fuzzer(control_request_fuzz SOURCES control_request_fuzz.cpp LIBS zel_control_service)
zel_add_fuzzer(control_input_fuzz SOURCES control_input_fuzz.cpp LIBS zel_control_service zel_input)

set(control_seeds "${CMAKE_CURRENT_BINARY_DIR}/control_request_seeds")
file(WRITE "${control_seeds}/screenshot"
    "GET /screenshot?secret=S&format=PNG&width=1280&quality=80 HTTP/1.1\r\nHost: h\r\n\r\n")
file(WRITE "${control_seeds}/input" "POST /%69nput?secret=S HTTP/1.1\r\n\r\n{\"action\":\"click\"}")
file(WRITE "${control_seeds}/nul" "GET /tiles?secret%00x=W&secret=S%00junk&&since=1 HTTP/1.1\r\n\r\n")
set(control_seeds "${CMAKE_CURRENT_BINARY_DIR}/control_input_seeds")
file(WRITE "${control_seeds}/drag" "{\"action\":\"drag\",\"from\":[0,0],\"to\":[1000,1000]}")
file(WRITE "${control_seeds}/scroll" "{\"action\":\" scroll\\n\",\"direction\":\"up\",\"amount\":3}")
file(WRITE "${control_seeds}/key" "{\"action\":\"key\",\"key\":\"Return\"}")
if(ZEL_BUILD_TESTS)
    foreach(target request input) # new finds go to a scratch folder, the seeds stay as written
        set(scratch "${CMAKE_CURRENT_BINARY_DIR}/control_${target}_corpus")
        file(MAKE_DIRECTORY "${scratch}")
        add_test(NAME control_${target}_fuzz
            COMMAND control_${target}_fuzz -max_total_time=5 -timeout=10 -rss_limit_mb=2048
                    "${scratch}" "${CMAKE_CURRENT_BINARY_DIR}/control_${target}_seeds")
        set_tests_properties(control_${target}_fuzz PROPERTIES TIMEOUT 60 LABELS fuzz)
    endforeach()
endif()
