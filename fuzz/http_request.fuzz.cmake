# Request parser, decoders and response head writer of the web server.
qeltv_fuzzer(http_request ${QELTV_SOURCE_DIR}/fuzz/http_request_fuzz.cpp
             ${QELTV_SOURCE_DIR}/web/HttpRequest.cpp)
