# The webcast through the capture layer against the same elements in a bare
# gst-launch-1.0 pipeline in one run: time to a client's first decoded frame,
# CPU seconds with 1, 50 and 255 clients and their ratio, and the ratio to the
# bare pipeline with one client.
#   webcast_bench [seconds]   (default 30)
add_executable(webcast_bench ${CMAKE_CURRENT_LIST_DIR}/webcast_bench.cpp)
target_link_libraries(webcast_bench PRIVATE qeltv_capture)
