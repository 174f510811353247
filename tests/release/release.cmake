# The release package, signed with a throw-away certificate, checked as an
# administrator would, and run once under Wine.
if(NOT WIN32)
  return()
endif()
add_test(NAME release_package COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/release_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(release_package PROPERTIES RESOURCE_LOCK port50918 TIMEOUT 300)
