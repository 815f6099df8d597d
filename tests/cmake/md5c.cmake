# ---- md5c: OpenSSL as the independent MD5 reference (test-only) ----------
find_package(OpenSSL REQUIRED)
target_link_libraries(md5c_test PRIVATE OpenSSL::Crypto)
