# The signed documents' text (trust/): portable, so natively with sanitizers
# as well as under Wine. The check itself is tried with CNG by the upgrade
# tests, with OpenSSL by uibpack_test, and both side by side by trust_diff_fuzz.
qs_add_gtest(trust_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/trust/ManifestTest.cpp LIBS quillstone_portable TIMEOUT 60)
