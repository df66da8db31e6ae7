# What device scripts cost per access, and how late their timers run: the
# real zephon with and without scripts. Included from this directory's
# CMakeLists.
add_executable(script_bench script_bench.cpp servers.cpp requests.cpp)
target_link_libraries(script_bench PRIVATE vfio_user_client fmt::fmt)
target_compile_definitions(script_bench PRIVATE
  ZEPHON_BINARY="$<TARGET_FILE:zephon>"
  REFERENCE_BINARY="$<TARGET_FILE:reference_server>")
add_dependencies(script_bench zephon)

# How late a device script's timer runs, under a request stream and idle.
add_executable(timer_bench timer_bench.cpp servers.cpp requests.cpp)
target_link_libraries(timer_bench PRIVATE vfio_user_client fmt::fmt)
target_compile_definitions(timer_bench PRIVATE
  ZEPHON_BINARY="$<TARGET_FILE:zephon>"
  REFERENCE_BINARY="$<TARGET_FILE:reference_server>")
add_dependencies(timer_bench zephon)
