# Virtual TV Card preview through the capture layer against the pipeline the
# layer built, run bare in the same process over the same interval: prints
# the baseline's pipeline, the core count, CPU seconds of both and their
# ratio. Run: capture_preview_bench [seconds]
add_executable(capture_preview_bench ${CMAKE_CURRENT_LIST_DIR}/capture_preview_bench.cpp)
target_link_libraries(capture_preview_bench PRIVATE qeltv_app)
