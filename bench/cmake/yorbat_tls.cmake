# ---- The authentication library's TLS connections against plain OpenSSL:
# the bench calls the entry points through the threaded objects.
if(TARGET yorbat_tls_bench)
  target_link_libraries(yorbat_tls_bench PRIVATE yorbat_objects_t)
endif()
