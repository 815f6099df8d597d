# ---- Security services: each test installs the real authentication library
# (both builds) where the product looks for it, sets brokers up with the admin
# tool and runs them; the tables are data files. The core test also loads a
# stand-in that lacks one entry point.
add_library(yss_standin MODULE ${CMAKE_SOURCE_DIR}/tests/unit/yss_standin_lib.c)
target_include_directories(yss_standin PRIVATE ${CMAKE_SOURCE_DIR}/common/contract)
target_compile_options(yss_standin PRIVATE -Wno-unused-parameter)
set_target_properties(yss_standin PROPERTIES C_VISIBILITY_PRESET hidden)
foreach(test yss_conn_test yss_core_test yss_creds_test yss_fqdn_test yss_scenario_test)
  add_dependencies(${test} yorbat yorbat_t yorbat_broker yorbat_admin yss_standin)
  target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR}/common/contract)
  target_compile_definitions(${test} PRIVATE YQ_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data"
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_T_LIB="$<TARGET_FILE:yorbat_t>"
    YORBAT_BROKER_BIN="$<TARGET_FILE:yorbat_broker>" YORBAT_ADMIN_BIN="$<TARGET_FILE:yorbat_admin>"
    YSS_STANDIN_LIB="$<TARGET_FILE:yss_standin>" YQ_MSG_SAMPLES="${CMAKE_SOURCE_DIR}/companions/msg")
endforeach()
