# A cold download from an S3 vault (a throw-away RGW) against one curl GET of the same object.
kdr_add_bench(s3_download ${CMAKE_CURRENT_LIST_DIR}/s3_download.cpp)
target_link_libraries(s3_download PRIVATE kdr_server kdr_proxy kdr_platform)
add_dependencies(s3_download kdrcached)
target_compile_definitions(s3_download PRIVATE
  KDRCACHED="$<TARGET_FILE:kdrcached>"
  KDR_RGW_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/rgw.sh")
