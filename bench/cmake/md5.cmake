# ---- md5: OpenSSL's MD5 as the throughput yardstick ----------------------
find_package(OpenSSL REQUIRED)
target_link_libraries(md5_bench PRIVATE OpenSSL::Crypto)
