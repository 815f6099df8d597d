# ---- Security services, connections and validation: the test installs the
# real authentication library, sets a broker up with the admin tool and
# starts it.
if(TARGET yss_conn_test)
  add_dependencies(yss_conn_test yorbat yorbat_broker yorbat_admin)
  target_compile_definitions(yss_conn_test PRIVATE
    YORBAT_LIBRARY="$<TARGET_FILE:yorbat>"
    YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>" YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>")
  target_include_directories(yss_conn_test PRIVATE ${CMAKE_SOURCE_DIR}/libYcrat ${CMAKE_SOURCE_DIR}/common/contract)
endif()
