# The announcement's timing rule, and the program's side of the announcement with stand-ins for its helper,
# on private buses with a real notification server.
add_executable(new_brand_tests ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowControllerTests.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/mains/DBusTestsMain.cpp)
target_link_libraries(new_brand_tests PRIVATE tempolis_settings tempolis_test_support GTest::gtest Qt6::Test)
gtest_discover_tests(new_brand_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The announcement in the real program under the test session: controls through the accessibility bus,
# pointer and keys through the X server, notifications through the notification daemon.
add_test(NAME settings.new_brand
    COMMAND /usr/bin/python3 -W ignore::DeprecationWarning ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowTest.py
            $<TARGET_FILE:Tempolis>)
set_tests_properties(settings.new_brand PROPERTIES TIMEOUT 180 RESOURCE_LOCK x11_display LABELS end-to-end)
