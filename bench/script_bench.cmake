# What device scripts cost per access: the real zephon with and
# without scripts, in one run. Included from this directory's CMakeLists.
add_executable(script_bench script_bench.cpp servers.cpp requests.cpp)
target_link_libraries(script_bench PRIVATE vfio_user_client fmt::fmt)
target_compile_definitions(script_bench PRIVATE
  ZEPHON_BINARY="$<TARGET_FILE:zephon>"
  REFERENCE_BINARY="$<TARGET_FILE:reference_server>")
add_dependencies(script_bench zephon)
