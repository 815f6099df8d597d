# ---- ynet_ynetd: the fake ynetd of tests/support/yqtest_wire.h makes its hash pairs with
# OpenSSL's MD5, independent of the library's own digest (test-only).
find_package(OpenSSL REQUIRED)
foreach(test ynet_ynetd_test ynet_ynetd_handover_test)
  if(TARGET ${test})
    target_link_libraries(${test} PRIVATE OpenSSL::Crypto)
  endif()
endforeach()
