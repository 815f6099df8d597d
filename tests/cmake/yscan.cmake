# ---- scanf engine: the unit test reaches the engine's private header ----
target_include_directories(yscan_test PRIVATE ${CMAKE_SOURCE_DIR}/bsdscan)
