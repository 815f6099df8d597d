# ---- Security services, credentials and the registry: both tests install
# the real authentication library and set a broker up with the admin tool;
# the scenario also runs the broker.
foreach(test yss_creds_test yss_scenario_test)
  if(TARGET ${test})
    add_dependencies(${test} yorbat yorbat_broker yorbat_admin)
    target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR}/common/contract)
    target_compile_definitions(${test} PRIVATE
      YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>"
      YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>"
      YSS_CREDS_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data/yss_creds_results.txt")
  endif()
endforeach()
