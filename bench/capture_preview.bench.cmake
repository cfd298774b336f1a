# Virtual TV Card preview through the capture layer against the same
# pipeline run bare by gst-launch-1.0, in one run: prints CPU seconds of
# both and their ratio. Run: capture_preview_bench [seconds]
add_executable(capture_preview_bench ${CMAKE_CURRENT_LIST_DIR}/capture_preview_bench.cpp)
target_link_libraries(capture_preview_bench PRIVATE qeltv_app)
