add_library(qv_mac_walk STATIC ${CMAKE_CURRENT_LIST_DIR}/EnumerateFiles.cpp)
target_include_directories(qv_mac_walk PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qv_mac_walk PUBLIC qv_filemanager qv_common)
