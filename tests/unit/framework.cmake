# The framework layer, and the resources a user sees.
if(NOT WIN32)
  return()
endif()

qs_add_gtest(framework_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/framework/FrameworkTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/framework/ResourcesTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/framework/DialogTemplateTest.cpp
  LIBS framework version TIMEOUT 60)
qs_add_resources(framework_test)
add_dependencies(framework_test Quillstone)  # its dialog templates are read from the executable
