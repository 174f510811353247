# The framework layer and the supervisor window's launch and restart, against
# the real stand-in (which binds the local port).
if(NOT WIN32)
  return()
endif()

qs_add_gtest(framework_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervisor/FrameworkTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/supervisor/ResourcesTest.cpp
  LIBS framework version TIMEOUT 60)
qs_add_resources(framework_test)

qs_add_gtest(restart_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervisor/RestartTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
  LIBS quillstone_core e2e_support LOCKS port50918 TIMEOUT 120)
qs_add_resources(restart_test)
add_dependencies(restart_test Marlowcast)

qs_add_gtest(health_check_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervisor/HealthCheckTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
  LIBS quillstone_core e2e_support advapi32 LOCKS port50918 TIMEOUT 180)
qs_add_resources(health_check_test)
add_dependencies(health_check_test Marlowcast)

qs_add_gtest(upgrade_request_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/supervisor/FetchTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
  LIBS quillstone_core e2e_support LOCKS port50918 TIMEOUT 180)
qs_add_resources(upgrade_request_test)
add_dependencies(upgrade_request_test Marlowcast)
