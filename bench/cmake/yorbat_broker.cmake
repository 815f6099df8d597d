# ---- yorbat broker: the bench starts the daemon and runs itself inside the
# sandbox (the broker's home is the product's install directory there).
if(TARGET yorbat_broker_bench)
  add_dependencies(yorbat_broker_bench yorbat_broker)
  target_link_libraries(yorbat_broker_bench PRIVATE yorbat_objects_t)
  target_compile_definitions(yorbat_broker_bench PRIVATE
    YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>"
    YQ_BENCH_HOME="/opt/YORBat"
    YQ_SANDBOX_BIN="${CMAKE_SOURCE_DIR}/tests/sandbox/yq-sandbox")
endif()
