# Device scripts: the engine in-process, and the real binary with real
# scripts (the project's examples among them) over a real socket. Included
# from this directory's CMakeLists.
zephon_test(script_test script_test.cpp script_fault_test.cpp script_interrupts_test.cpp script_engine_test.cpp
            script_irq_test.cpp script_timer_test.cpp script_memory_test.cpp guest_memory_test.cpp
            script_vram_test.cpp tahiti_replay_test.cpp script_replay_test.cpp script_include_test.cpp
            script_run.cpp zephon_process.cpp server_fixture.cpp test_backend.cpp)
target_compile_definitions(script_test PRIVATE ZEPHON_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
                           ZEPHON_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")

# Replay end to end: trace-bringup recorded against a scripted device and run
# again against the recording, zephon-trace compare judging.
zephon_test(replay_test replay_run_test.cpp script_run.cpp trace_process.cpp tool_run.cpp zephon_process.cpp server_fixture.cpp
            test_backend.cpp)
target_compile_definitions(replay_test PRIVATE ZEPHON_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
                           ZEPHON_TRACE_BINARY="$<TARGET_FILE:zephon-trace>"
                           TRACE_BRINGUP_BINARY="$<TARGET_FILE:trace-bringup>")
add_dependencies(replay_test zephon-trace trace-bringup)

# examples/tahiti.lua's acceleration, with the client playing the display driver.
zephon_test(tahiti_accel_test tahiti_accel_test.cpp tahiti_driver.cpp script_run.cpp zephon_process.cpp
            server_fixture.cpp test_backend.cpp)
target_compile_definitions(tahiti_accel_test PRIVATE ZEPHON_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
