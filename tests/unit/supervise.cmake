# The supervisor's rules with a Marlowcast the test plays: no window, no
# process, no port; and one real launch of the stand-in, which holds
# Marlowcast's mutex for a moment.
if(NOT WIN32)
  return()
endif()

qs_add_gtest(supervisor_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervise/SupervisorTest.cpp
  LIBS qs_supervise LOCKS port50918 TIMEOUT 60)
target_compile_definitions(supervisor_test PRIVATE "QS_STAND_IN=L\"Z:$<TARGET_FILE:Marlowcast>\"")
add_dependencies(supervisor_test Marlowcast)
