# Upgrade list, entry check, URL names, the progress steps of the worker and
# the installation journal's text: portable, so natively with sanitizers as
# well as under Wine.
qs_add_gtest(upgrade_list_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upgrade/UpgradeListTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/upgrade/EntryPathTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/upgrade/ProgressStepsTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/install/JournalTextTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/upgrade/BlockMapTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/uib_test_support.cpp
  LIBS quillstone_portable
  TIMEOUT 60)

if(WIN32)
  # The upgrade job against an HTTP server the test plays on its own port, and
  # the installation on real folders; both wait on Marlowcast's mutex, which
  # the stand-in's tests hold.
  qs_add_gtest(upgrade_job_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/upgrade/UpgradeJobTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/install/InstallationTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/upgrade/SignedUpgradeTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/upgrade/ResumptionTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/upgrade/SignedDownloadTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/RangeServer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
    LIBS qs_upgrade qs_upgrade_url bcrypt LOCKS port50918 TIMEOUT 120)
  # The release check on its own, in a program that does not import bcrypt.dll
  # itself; it serves on the job tests' port.
  qs_add_gtest(release_check_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/upgrade/ReleaseCheckTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
    LIBS qs_upgrade qs_upgrade_url LOCKS port50918 TIMEOUT 60)
endif()
