# ---- packaging: install into a scratch DESTDIR, build an outside consumer
# against it with pkg-config and with CMake, and check the Debian package.
set(consumer_flags "")
if(YQ_SANITIZE OR YQ_FUZZ)
  set(consumer_flags "-fsanitize=address,undefined")
endif()
yq_sandboxed_test(packaging
  ${CMAKE_SOURCE_DIR}/tests/packaging/check-install ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
  ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${CMAKE_C_COMPILER} "${consumer_flags}")
