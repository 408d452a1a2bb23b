add_library(qv_mac_aedesc STATIC ${CMAKE_CURRENT_LIST_DIR}/AEDescUtils.cpp)
target_include_directories(qv_mac_aedesc PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/Mac)
target_link_libraries(qv_mac_aedesc PUBLIC qv_appleevents qv_cfstring)
