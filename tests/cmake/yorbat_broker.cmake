# ---- yorbat broker: the test sets the broker up with the admin tool and
# starts the real daemon; the request parser's fuzz target links the library.
if(TARGET yorbat_broker_test)
  target_link_libraries(yorbat_broker_test PRIVATE yorbat_objects_t)
  add_dependencies(yorbat_broker_test yorbat_broker yorbat_admin)
  target_compile_definitions(yorbat_broker_test PRIVATE
    YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>" YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>")
endif()
target_link_libraries(yorbat_request_fuzz_replay PRIVATE yorbat_objects)
if(TARGET yorbat_request_fuzzer)
  target_link_libraries(yorbat_request_fuzzer PRIVATE yorbat_objects)
endif()
