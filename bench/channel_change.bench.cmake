# Channel change to picture on the Virtual TV Card's preview: the tune call,
# the first frame of the new station at the renderer's sink, the first repaint
# that shows it, and the old station's frames that still arrived after the
# tune. Run: channel_change_bench [changes]
add_executable(channel_change_bench ${CMAKE_CURRENT_LIST_DIR}/channel_change_bench.cpp)
target_link_libraries(channel_change_bench PRIVATE qeltv_app)
