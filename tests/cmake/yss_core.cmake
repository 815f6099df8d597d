# ---- security services core: the test installs the real authentication
# library (both builds) where the product looks for it, and loads a stand-in
# that lacks one entry point.
if(TARGET yss_core_test)
  add_library(yss_standin MODULE ${CMAKE_SOURCE_DIR}/tests/unit/yss_standin_lib.c)
  target_include_directories(yss_standin PRIVATE ${CMAKE_SOURCE_DIR}/common/contract)
  target_compile_options(yss_standin PRIVATE -Wno-unused-parameter)
  set_target_properties(yss_standin PROPERTIES C_VISIBILITY_PRESET hidden)
  add_dependencies(yss_core_test yorbat yorbat_t yss_standin)
  target_compile_definitions(yss_core_test PRIVATE
    YORBAT_LIB="$<TARGET_FILE:yorbat>" YORBAT_T_LIB="$<TARGET_FILE:yorbat_t>"
    YSS_STANDIN_LIB="$<TARGET_FILE:yss_standin>"
    YSS_DATA="${CMAKE_SOURCE_DIR}/tests/unit/data"
    YQ_MSG_SAMPLES="${CMAKE_SOURCE_DIR}/companions/msg")
endif()
