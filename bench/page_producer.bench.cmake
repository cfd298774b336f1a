# Throughput of the page template engine against a plain copy of the same bytes.
add_executable(bench_page_producer ${CMAKE_CURRENT_LIST_DIR}/page_producer_bench.cpp)
target_link_libraries(bench_page_producer PRIVATE qeltv_web)
