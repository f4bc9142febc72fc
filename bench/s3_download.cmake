# Cold downloads and sequential reads from an S3 vault (a throw-away RGW) against libcurl's GET
# of the same object, on loopback and through the relay (s3_relay: 20 ms round trip, 200 Mbit/s).
find_package(CURL 7.75 REQUIRED)
find_package(Threads REQUIRED)
add_executable(s3_relay ${CMAKE_CURRENT_LIST_DIR}/s3_relay.cpp)
kdr_target_defaults(s3_relay)
target_link_libraries(s3_relay PRIVATE Threads::Threads)
kdr_add_bench(s3_download ${CMAKE_CURRENT_LIST_DIR}/s3_download.cpp)
target_link_libraries(s3_download PRIVATE kdr_server kdr_proxy kdr_platform CURL::libcurl)
add_dependencies(s3_download kdrcached s3_relay)
target_compile_definitions(s3_download PRIVATE
  KDRCACHED="$<TARGET_FILE:kdrcached>"
  KDR_S3_RELAY="$<TARGET_FILE:s3_relay>"
  KDR_RGW_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/rgw.sh")
