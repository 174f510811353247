# Upgrade list, entry check, URL names and the progress steps of the worker:
# portable, so natively with sanitizers as well as under Wine.
qs_add_gtest(upgrade_list_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upgrade/UpgradeListTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/upgrade/EntryPathTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/upgrade/ProgressStepsTest.cpp
  LIBS quillstone_portable
  TIMEOUT 60)
