# The signed documents and the one check of a release that Quillstone and
# uibpack verify share: portable, so natively with sanitizers as well as
# under Wine.
qs_add_gtest(trust_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trust/ManifestTest.cpp
  LIBS quillstone_portable
  TIMEOUT 60)
