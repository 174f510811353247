# The seeded random model of the installation transaction and its probation,
# on real folders; a program of its own, so that its sequences have their own
# time limit. QS_MODEL_SEED and QS_MODEL_RUNS replay or lengthen it.
if(NOT WIN32)
  return()
endif()

qs_add_gtest(install_model_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/install/TransactionModelTest.cpp
  LIBS qs_upgrade LOCKS port50918 TIMEOUT 300)
