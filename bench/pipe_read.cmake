# Reads through the pipe alone from a real kdrcached against a raw socket stream of the same bytes.
add_executable(stream_sender ${CMAKE_CURRENT_LIST_DIR}/stream_sender.cpp)
target_include_directories(stream_sender PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(stream_sender PRIVATE kdr_platform)
kdr_target_defaults(stream_sender)
kdr_add_bench(pipe_read ${CMAKE_CURRENT_LIST_DIR}/pipe_read.cpp)
target_link_libraries(pipe_read PRIVATE kdr_proxy kdr_server kdr_platform)
add_dependencies(pipe_read kdrcached stream_sender)
target_compile_definitions(pipe_read PRIVATE
  KDRCACHED="$<TARGET_FILE:kdrcached>"
  KDR_STREAM_SENDER="$<TARGET_FILE:stream_sender>"
  KDR_LOCALE_DIR="${PROJECT_SOURCE_DIR}/locale")
