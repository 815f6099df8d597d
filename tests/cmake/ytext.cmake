# ---- ytext: the report test finds the lines of the module's failing steps
# in its source file.
target_compile_definitions(ytext_test PRIVATE YTEXT_SOURCE="${CMAKE_SOURCE_DIR}/libylibs/ytext.cpp")
