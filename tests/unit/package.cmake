# The .uib package: decoder, checker and writer in process (both builds), and
# the uibpack command line (host build, where the tool can simply be run).
qs_add_gtest(package_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/package_test.cpp ${CMAKE_CURRENT_LIST_DIR}/uib_test_support.cpp
  LIBS uib_package)

if(NOT WIN32)
  qs_add_gtest(uibpack_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/uibpack_test.cpp ${CMAKE_CURRENT_LIST_DIR}/uib_test_support.cpp
    LIBS uib_package)
  target_compile_definitions(uibpack_test PRIVATE UIBPACK_PATH="$<TARGET_FILE:uibpack>")
  add_dependencies(uibpack_test uibpack)
endif()
