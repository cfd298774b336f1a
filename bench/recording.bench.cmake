# A recording through the capture layer (Virtual TV Card, an installed video
# compressor, PCM audio, AVI Mux, File Writer) against the equivalent bare
# gst-launch-1.0 pipeline in one run: CPU seconds of both, their ratio, and
# frames written against frames expected.
#   recording_bench [seconds] [video encoder factory]   (default 60 x264enc)
add_executable(recording_bench ${CMAKE_CURRENT_LIST_DIR}/recording_bench.cpp)
target_link_libraries(recording_bench PRIVATE qeltv_capture)
