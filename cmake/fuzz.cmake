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
     ${CMAKE_SOURCE_DIR}/platform/posix/pe/*.cpp)
set(FUZZ_PATH_SOURCES ${CMAKE_SOURCE_DIR}/platform/posix/codepage.cpp
    ${CMAKE_SOURCE_DIR}/platform/posix/ntpath.cpp ${CMAKE_SOURCE_DIR}/platform/posix/confine.cpp
    ${CMAKE_SOURCE_DIR}/platform/posix/environment.cpp ${CMAKE_SOURCE_DIR}/platform/posix/lasterror.cpp)
add_library(drvinst_version_fuzzed STATIC ${FUZZ_VERSION_SOURCES} ${FUZZ_PATH_SOURCES})
target_include_directories(drvinst_version_fuzzed PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(drvinst_version_fuzzed PRIVATE
                       -fsanitize=fuzzer-no-link ${DRVINST_FUZZ_FLAGS})

add_executable(version_fuzz ${CMAKE_SOURCE_DIR}/fuzz/version_fuzz.cpp)
target_compile_options(version_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_options(version_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_libraries(version_fuzz drvinst_version_fuzzed)

# The option scanner and the source directory of the front end; the
# target's own EndProcess throws, so that a usage error ends one input
# rather than the fuzzer.
add_library(drvinst_front_fuzzed STATIC
            ${CMAKE_SOURCE_DIR}/front/options.cpp ${CMAKE_SOURCE_DIR}/front/source.cpp
            ${CMAKE_SOURCE_DIR}/front/state.cpp ${CMAKE_SOURCE_DIR}/front/messages.cpp)
target_include_directories(drvinst_front_fuzzed PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(drvinst_front_fuzzed PRIVATE -fsanitize=fuzzer-no-link ${DRVINST_FUZZ_FLAGS})

add_executable(options_fuzz ${CMAKE_SOURCE_DIR}/fuzz/options_fuzz.cpp)
target_compile_options(options_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_options(options_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_libraries(options_fuzz drvinst_front_fuzzed)

# The offline registry layer over a hive written from the input.
file(GLOB FUZZ_REGISTRY_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/platform/posix/registry/*.cpp
     ${CMAKE_SOURCE_DIR}/platform/posix/hive/*.cpp)
add_library(drvinst_registry_fuzzed STATIC ${FUZZ_REGISTRY_SOURCES} ${FUZZ_PATH_SOURCES})
target_include_directories(drvinst_registry_fuzzed PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(drvinst_registry_fuzzed PRIVATE
                       -fsanitize=fuzzer-no-link ${DRVINST_FUZZ_FLAGS})

add_executable(hive_fuzz ${CMAKE_SOURCE_DIR}/fuzz/hive_fuzz.cpp)
target_compile_options(hive_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_options(hive_fuzz PRIVATE -fsanitize=fuzzer ${DRVINST_FUZZ_FLAGS})
target_link_libraries(hive_fuzz drvinst_registry_fuzzed)
