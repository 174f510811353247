# Upgrade window and its progress bars. The percentage and the temporary-folder
# rule are portable (natively with sanitizers, and under Wine); the window,
# its painting and layout need Wine and an X display.
qs_add_gtest(upgrade_window_portable_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui/PortableTest.cpp
  LIBS quillstone_portable
  TIMEOUT 60)

if(WIN32)
  # Also saves a picture of the window in <build>/screenshots.
  qs_add_gtest(upgrade_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui/MyProgressTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ui/UpgradeWndTest.cpp
    LIBS quillstone_core
    TIMEOUT 120)
  qs_add_resources(upgrade_window_test)
endif()
