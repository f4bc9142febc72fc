# Warnings, sanitizers and the helpers shared by every target of the project.

set(KDR_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
# clang checks the lock annotations (platform/thread_annotations.h); with KDR_WERROR a field
# touched without its lock fails the build.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND KDR_WARNING_FLAGS -Wthread-safety)
endif()
# g++ 12 at -O3 takes libstdc++'s own `"x" + std::string(...)` for an overlapping memcpy
# (GCC bug 105329): the warning is wrong wherever a string is built that way, so it is off.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND KDR_WARNING_FLAGS -Wno-restrict)
endif()
if(KDR_WERROR)
  list(APPEND KDR_WARNING_FLAGS -Werror)
endif()

# Flags for the project's own targets (not for third-party code).
function(kdr_target_defaults target)
  target_compile_options(${target} PRIVATE ${KDR_WARNING_FLAGS})
  target_compile_definitions(${target} PRIVATE _GNU_SOURCE)
endfunction()

if(KDR_SANITIZE)
  set(_kdr_san_flags "")
  foreach(s IN LISTS KDR_SANITIZE)
    list(APPEND _kdr_san_flags "-fsanitize=${s}")
  endforeach()
  list(JOIN _kdr_san_flags " " _kdr_san_str)
  string(APPEND CMAKE_C_FLAGS " ${_kdr_san_str} -fno-omit-frame-pointer -fno-sanitize-recover=all")
  string(APPEND CMAKE_CXX_FLAGS " ${_kdr_san_str} -fno-omit-frame-pointer -fno-sanitize-recover=all")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_kdr_san_str}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_kdr_san_str}")
  if("thread" IN_LIST KDR_SANITIZE)
    add_compile_definitions(KDR_TSAN=1)
  endif()
  if("address" IN_LIST KDR_SANITIZE)
    add_compile_definitions(KDR_ASAN=1)
    # The runtime that a JVM must preload to host an ASan-built JNI library.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE KDR_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
                      OUTPUT_VARIABLE KDR_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    # ASan in a shared library loaded by a program without ASan needs the shared runtime.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      string(APPEND CMAKE_SHARED_LINKER_FLAGS " -shared-libasan")
      string(APPEND CMAKE_EXE_LINKER_FLAGS " -shared-libasan")
    endif()
  endif()
endif()

# find_package(JNI) and find_package(Java) need JAVA_HOME; when it is unset, take it from the
# real path of javac (JAVA_HOME/bin/javac).
macro(kdr_derive_java_home)
  if(NOT DEFINED ENV{JAVA_HOME})
    find_program(_kdr_javac javac REQUIRED)
    file(REAL_PATH ${_kdr_javac} _kdr_javac_real)
    get_filename_component(_kdr_jbin ${_kdr_javac_real} DIRECTORY)
    get_filename_component(_kdr_jhome ${_kdr_jbin} DIRECTORY)
    set(ENV{JAVA_HOME} ${_kdr_jhome})
  endif()
endmacro()

# Link a shared library so that it exports exactly the names its version script lists.
function(kdr_export_only target version_script)
  target_link_options(${target} PRIVATE
    "-Wl,--version-script=${version_script}" "-Wl,-Bsymbolic" "-Wl,--no-undefined")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${version_script})
endfunction()
