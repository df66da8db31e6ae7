# zephon-trace: the log parser and reports in-process, and end to end on
# recordings of the real zephon. Included from this directory's CMakeLists.
zephon_test(trace_test trace_test.cpp trace_report_test.cpp trace_script_lines_test.cpp trace_script_dma_test.cpp
            trace_mmiotrace_test.cpp
            trace_compare_test.cpp trace_program_test.cpp trace_follow_program_test.cpp trace_process.cpp tool_run.cpp
            trace_script_run_test.cpp script_run.cpp zephon_process.cpp server_fixture.cpp test_backend.cpp)
target_link_libraries(trace_test PRIVATE zephon_trace_core nlohmann_json::nlohmann_json)
target_compile_definitions(trace_test PRIVATE ZEPHON_TRACE_BINARY="$<TARGET_FILE:zephon-trace>"
                           ZEPHON_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
add_dependencies(trace_test zephon-trace)

# Names files, following a log as it is written, and the real recording in
# tests/data (gzip-compressed; the tests decompress it with gzip).
zephon_test(trace_names_follow_test trace_names_test.cpp trace_names_output_test.cpp trace_follow_test.cpp
            trace_recording_test.cpp trace_process.cpp tool_run.cpp zephon_process.cpp server_fixture.cpp test_backend.cpp)
target_link_libraries(trace_names_follow_test PRIVATE zephon_trace_core)
target_compile_definitions(trace_names_follow_test PRIVATE ZEPHON_TRACE_BINARY="$<TARGET_FILE:zephon-trace>"
                           ZEPHON_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
add_dependencies(trace_names_follow_test zephon-trace)
