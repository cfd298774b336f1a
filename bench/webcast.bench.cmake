# The webcast through the capture layer against the pipeline the layer built,
# run bare in the same process with one client handed to its socket sink, in
# one run: time to a client's first decoded frame, CPU seconds with 1, 50 and
# 255 clients and their ratio, the baseline's pipeline, the core count and the
# ratio to the bare pipeline with one client, over the same interval.
#   webcast_bench [seconds]   (default 30)
add_executable(webcast_bench ${CMAKE_CURRENT_LIST_DIR}/webcast_bench.cpp)
target_link_libraries(webcast_bench PRIVATE qeltv_capture)
