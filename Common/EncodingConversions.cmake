add_library(qv_encoding STATIC
  ${CMAKE_CURRENT_LIST_DIR}/EncodingConversions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unistring.cpp
)
target_include_directories(qv_encoding PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR})
target_link_libraries(qv_encoding PUBLIC qv_cfstring PkgConfig::ICU)
