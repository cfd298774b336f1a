# A recording through the capture layer (Virtual TV Card, an installed video
# compressor, PCM audio, AVI Mux, File Writer) against the pipeline the layer
# built, run bare in the same process from PLAYING to the end of stream:
# CPU seconds of both, frames written against frames expected, the ratio.
#   recording_bench [seconds] [video encoder factory]   (default 60 x264enc)
add_executable(recording_bench ${CMAKE_CURRENT_LIST_DIR}/recording_bench.cpp)
target_link_libraries(recording_bench PRIVATE qeltv_capture)
