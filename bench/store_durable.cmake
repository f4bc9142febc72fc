# What a crash costs the store (blocks kept, restart time), the usable share of --store-size and
# the cost of block checksums.
kdr_add_bench(store_durable ${CMAKE_CURRENT_LIST_DIR}/store_durable.cpp)
target_link_libraries(store_durable PRIVATE kdr_server kdr_store kdr_platform)
