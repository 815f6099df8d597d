# ---- allocation failures: the sweep program with its own malloc family ----
add_executable(alloc_sweep ${CMAKE_SOURCE_DIR}/tests/alloc/alloc_sweep.cpp
                           ${CMAKE_SOURCE_DIR}/tests/alloc/alloc_interposer.cpp)
target_link_libraries(alloc_sweep PRIVATE ylibs)
target_include_directories(alloc_sweep PRIVATE ${CMAKE_SOURCE_DIR}/libylibs ${CMAKE_BINARY_DIR}/generated)
target_compile_options(alloc_sweep PRIVATE -Wall -Wextra -Werror)
# A handful of functions in the suite; scripts/alloc-sweep runs them all.
yq_sandboxed_test(alloc_sweep_short $<TARGET_FILE:alloc_sweep> --short)
