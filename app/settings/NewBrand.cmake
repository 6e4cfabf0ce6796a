# The new-brand announcement. The program has only its controller; the window and its declarative view (Qt
# Quick in a widget window) are a helper program of the bundle, Contents/Helpers/TempolisAnnouncement, which
# the controller starts: Qt Quick and what it draws with stay out of the program's memory.
set_target_properties(tempolis_settings PROPERTIES AUTOMOC ON)
target_sources(tempolis_settings PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowController.cpp ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowController.h)
target_include_directories(tempolis_settings PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tempolis_settings PUBLIC
    tempolis_defaults tempolis_bundle tempolis_workspace tempolis_notifications tempolis_log Qt6::Core)

find_package(Qt6 6.4 REQUIRED COMPONENTS Quick QuickWidgets)
add_library(tempolis_new_brand_window STATIC
    ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindow.cpp ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindow.h)
set_target_properties(tempolis_new_brand_window PROPERTIES AUTOMOC ON)
qt_add_resources(tempolis_new_brand_window new_brand_view PREFIX /settings BASE ${CMAKE_CURRENT_LIST_DIR}
    FILES ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowView.qml)
target_include_directories(tempolis_new_brand_window PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tempolis_new_brand_window PUBLIC
    tempolis_ui tempolis_resources tempolis_localization tempolis_log Qt6::Widgets Qt6::Quick Qt6::QuickWidgets)

add_executable(TempolisAnnouncement ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowMain.cpp)
target_link_libraries(TempolisAnnouncement PRIVATE tempolis_new_brand_window)
# Its place in the bundle is where the controller looks for it (NewBrandWindowController::helperBundlePath).
set_target_properties(TempolisAnnouncement PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TEMPOLIS_BUNDLE_DIR}/Contents/Helpers)
# The program starts it: building the program builds it.
add_dependencies(Tempolis TempolisAnnouncement)
install(TARGETS TempolisAnnouncement RUNTIME DESTINATION ${TEMPOLIS_INSTALL_BUNDLE_DIR}/Contents/Helpers)
