# Request rate of the web server; bench/http_server.sh drives it with wrk
# beside nginx serving the same page.
add_executable(http_server_bench ${CMAKE_CURRENT_LIST_DIR}/http_server_bench.cpp)
target_link_libraries(http_server_bench PRIVATE qeltv_web)
