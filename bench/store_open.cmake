# Opening a store of the largest size as its owner, against a plain sort and a plain read.
kdr_add_bench(store_open ${CMAKE_CURRENT_LIST_DIR}/store_open.cpp)
target_link_libraries(store_open PRIVATE kdr_store kdr_platform)
