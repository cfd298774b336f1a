# The page template engine: arbitrary templates and parameter texts.
qeltv_fuzzer(page_producer ${QELTV_SOURCE_DIR}/fuzz/page_producer_fuzz.cpp
             ${QELTV_SOURCE_DIR}/web/PageProducer.cpp)
