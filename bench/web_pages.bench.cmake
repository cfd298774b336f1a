# The web pages of a session previewing the Virtual TV Card against nginx
# serving the same expanded /index.html, with the same wrk load (8
# connections) in one run: pages per second of both, the GUI thread's longest
# stall under our load, and their ratio; then "/schedules.html" with 50 tasks
# saved (the user's crontab is put back): its pages per second and the GUI
# thread's longest stall.
#   web_pages_bench [seconds]   (default 10)
add_executable(web_pages_bench ${CMAKE_CURRENT_LIST_DIR}/web_pages_bench.cpp)
target_link_libraries(web_pages_bench PRIVATE qeltv_app)
