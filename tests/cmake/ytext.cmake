# ---- ytext: the report test finds the lines of the module's failing steps
# in its source file.
target_compile_definitions(ytext_test PRIVATE YTEXT_SOURCE="${CMAKE_SOURCE_DIR}/libylibs/ytext.cpp")
# ---- ynet_text: service lines and the fields parsed from them.
target_compile_definitions(ynet_text_test PRIVATE
  YNET_TEXT_PARSE_CASES="${CMAKE_SOURCE_DIR}/tests/unit/data/ynet_text_parse.txt")
