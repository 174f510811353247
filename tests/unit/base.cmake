# The bottom layer: text conversion and Marlowcast's mutex test (the mutex
# namespace is shared with every test that starts the stand-in).
if(NOT WIN32)
  return()
endif()

qs_add_gtest(base_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/base/BaseTest.cpp
  LIBS qs_base advapi32 LOCKS port50918 TIMEOUT 60)

# The event log, in folders of its own.
qs_add_gtest(event_log_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/base/EventLogTest.cpp
  LIBS qs_base TIMEOUT 60)
