# Reads of a cached file through the fast cache (VXN_ReadBytes) against pread of the same bytes.
kdr_add_bench(fastcache_read ${CMAKE_CURRENT_LIST_DIR}/fastcache_read.cpp)
target_link_libraries(fastcache_read PRIVATE kdr_proxy kdr_test_peer_core kdr_store kdr_platform)
