# The new-brand announcement: its window controller and its declarative view (Qt Quick in a widget window).
find_package(Qt6 6.4 REQUIRED COMPONENTS Quick QuickWidgets)
set_target_properties(tempolis_settings PROPERTIES AUTOMOC ON)
target_sources(tempolis_settings PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowController.cpp ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowController.h)
qt_add_resources(tempolis_settings new_brand_view PREFIX /settings BASE ${CMAKE_CURRENT_LIST_DIR}
    FILES ${CMAKE_CURRENT_LIST_DIR}/NewBrandWindowView.qml)
target_include_directories(tempolis_settings PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tempolis_settings PUBLIC
    tempolis_ui tempolis_defaults tempolis_resources tempolis_workspace tempolis_notifications tempolis_log
    Qt6::Widgets Qt6::Quick Qt6::QuickWidgets)
