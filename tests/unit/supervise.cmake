# The supervisor's rules with a Marlowcast the test plays: no window, no
# process, no port.
if(NOT WIN32)
  return()
endif()

qs_add_gtest(supervisor_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervise/SupervisorTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/supervise/DumpKeeperTest.cpp
  LIBS qs_supervise shell32 LOCKS port50918 TIMEOUT 60)
