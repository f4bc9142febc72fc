# Flags of a fuzzing build (KDR_BUILD_FUZZ with clang++): every library is built with the
# coverage libFuzzer follows and with AddressSanitizer and UndefinedBehaviorSanitizer; the
# fuzz targets add the libFuzzer driver when they link (fuzz/CMakeLists.txt).
if(KDR_SANITIZE)
  message(FATAL_ERROR "KDR_BUILD_FUZZ brings its own sanitizers: leave KDR_SANITIZE empty")
endif()
set(KDR_FUZZ_SANITIZERS "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")
string(APPEND CMAKE_C_FLAGS " -fsanitize=fuzzer-no-link ${KDR_FUZZ_SANITIZERS}")
string(APPEND CMAKE_CXX_FLAGS " -fsanitize=fuzzer-no-link ${KDR_FUZZ_SANITIZERS}")
string(APPEND CMAKE_EXE_LINKER_FLAGS " -fsanitize=address,undefined")
