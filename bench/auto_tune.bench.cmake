# The continuous scan's wall time on the Virtual TV Card through the main
# window (painting, the preview running) against the same steps on the bare
# tuner in one run: per-step figures and the window's overhead per step.
#   auto_tune_bench [rounds]   (default 1)
add_executable(auto_tune_bench ${CMAKE_CURRENT_LIST_DIR}/auto_tune_bench.cpp)
target_link_libraries(auto_tune_bench PRIVATE qeltv_app)
