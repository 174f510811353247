# The supervisor window and the upgrade window. The percentage and the
# temporary-folder rule are portable (natively with sanitizers, and under
# Wine); the windows, their painting and layout need Wine and an X display.
qs_add_gtest(upgrade_window_portable_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui/PortableTest.cpp
  LIBS quillstone_portable
  TIMEOUT 60)

if(WIN32)
  # Also saves a picture of the window in <build>/screenshots.
  qs_add_gtest(upgrade_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui/MyProgressTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ui/UpgradeWndTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ui/SupervisorWindowTest.cpp
    LIBS qs_ui
    TIMEOUT 120)
  qs_add_resources(upgrade_window_test)

  # The upgrade request on a real supervisor window (which launches the
  # stand-in beside the test), with a scripted peer on Marlowcast's port and
  # nginx as the upgrade server.
  qs_add_gtest(upgrade_request_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui/UpgradeRequestTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/ScriptedPeer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/WinsockEnvironment.cpp
    LIBS qs_ui qs_upgrade_url e2e_support LOCKS port50918 TIMEOUT 180)
  qs_add_resources(upgrade_request_test)
  add_dependencies(upgrade_request_test Marlowcast)
endif()
