# The bottom layer: text conversion and Marlowcast's mutex test (the mutex
# namespace is shared with every test that starts the stand-in).
if(NOT WIN32)
  return()
endif()

qs_add_gtest(base_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/base/BaseTest.cpp
  LIBS qs_base advapi32 LOCKS port50918 TIMEOUT 60)

# The event log, in folders of its own; the status probe's lines among its
# repeats, with nobody (or the test) on Marlowcast's port.
qs_add_gtest(event_log_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/base/EventLogTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
  LIBS qs_channel LOCKS port50918 TIMEOUT 60)
