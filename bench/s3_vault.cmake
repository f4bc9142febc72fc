# What the S3 vault costs the store (revalidation requests, opens while it hangs) and the
# reader (first byte against libcurl's, on a throw-away RGW).
find_package(CURL 7.75 REQUIRED)
kdr_add_bench(s3_vault ${CMAKE_CURRENT_LIST_DIR}/s3_vault.cpp)
target_link_libraries(s3_vault PRIVATE kdr_server kdr_proxy kdr_platform CURL::libcurl)
target_compile_definitions(s3_vault PRIVATE KDR_RGW_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/rgw.sh")
