# The libFuzzer targets of fuzz/, built with clang:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DDRVINST_FUZZ=ON
# fuzz/run.sh does this and runs each target for a bounded time.  The code
# under test is compiled again here, instrumented, into a library of its
# own, so that the ordinary targets keep their ordinary flags and the fuzz
# build needs none of the other backends' libraries.
include_guard(GLOBAL)

if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "DRVINST_FUZZ needs a POSIX build with clang (libFuzzer)")
endif()

set(DRVINST_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                       -fno-omit-frame-pointer)

file(GLOB FUZZ_VERSION_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/platform/posix/version*.cpp
     ${CMAKE_SOURCE_DIR}/platform/posix/pe*.cpp)
add_library(drvinst_version_fuzzed STATIC ${FUZZ_VERSION_SOURCES}
            ${CMAKE_SOURCE_DIR}/platform/posix/ntpath.cpp)
target_include_directories(drvinst_version_fuzzed PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(drvinst_version_fuzzed PRIVATE
                       -fsanitize=fuzzer-no-link ${DRVINST_FUZZ_FLAGS})

add_executable(version_fuzz ${CMAKE_SOURCE_DIR}/fuzz/version_fuzz.cpp)
target_compile_options(version_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_options(version_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_libraries(version_fuzz drvinst_version_fuzzed)
