# Unit tests where a scenario cannot reach: parsers' bounds, the
# interpreter's word splitting, the offline registry's own promises.
enable_testing()
find_package(GTest REQUIRED)
file(GLOB UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit ${UNIT_SOURCES})
target_link_libraries(unit drvinst_core drvinst_platform hivex_reader GTest::gtest_main)
target_compile_definitions(unit PRIVATE BUILD_DIR="${CMAKE_BINARY_DIR}")
add_test(NAME unit COMMAND unit)
set_tests_properties(unit PROPERTIES LABELS unit)

# Log replay against hives Windows wrote, where they lie beside the project;
# skipped (77) where they are absent, as in a release tarball.
add_executable(realhives tests/realhives/realhives_test.cpp)
target_link_libraries(realhives drvinst_platform hivex_reader GTest::gtest)
add_test(NAME realhives COMMAND realhives ${CMAKE_SOURCE_DIR}/../shared/realhives)
set_tests_properties(realhives PROPERTIES LABELS unit SKIP_RETURN_CODE 77)

# The tool with chosen registry calls failing (tests/probe/faulty.cpp).
add_library(drvinst_core_faulty STATIC ${CORE_SOURCES})
target_include_directories(drvinst_core_faulty PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(drvinst_core_faulty PRIVATE RegCreateKeyExA=FaultyRegCreateKeyExA
                           RegSetValueExA=FaultyRegSetValueExA RegEnumKeyA=FaultyRegEnumKeyA)
add_executable(drvinst-faulty front/main.cpp tests/probe/faulty.cpp)
target_link_libraries(drvinst-faulty drvinst_core_faulty drvinst_platform)

# End-to-end scenarios: the same table against this build and, when a
# Windows build directory is given, against drvinst.exe under Wine.  Each
# Wine test has its own prefix and server, so they can run side by side.
set(DRVINST_WIN_BUILD "" CACHE PATH "Build directory of the x86_64 Windows build")
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME scenarios_posix
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/scenarios/run.py
                 --build posix --bin ${CMAKE_BINARY_DIR})
set_tests_properties(scenarios_posix PROPERTIES LABELS posix)
if(DRVINST_WIN_BUILD)
  add_test(NAME scenarios_wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/scenarios/run.py
                   --build wine --bin ${DRVINST_WIN_BUILD} --tools ${CMAKE_BINARY_DIR})
  set_tests_properties(scenarios_wine PROPERTIES LABELS wine)
  # The offline version reader against Windows' own, fixture by fixture.
  add_test(NAME version_agree
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/version_agree.py
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(version_agree PROPERTIES LABELS wine
                       ENVIRONMENT WINEPREFIX=${CMAKE_BINARY_DIR}/wine-version)
endif()

# The i686 program: the same checks in a 32-bit prefix, and in a 64-bit one
# the refusal it owes 64-bit Windows.  A machine whose kernel cannot run
# 32-bit programs reports them skipped (77).
set(DRVINST_WIN32_BUILD "" CACHE PATH "Build directory of the i686 Windows build")
if(DRVINST_WIN32_BUILD)
  set(WINE32 WINELOADER=/usr/lib/wine/wine WINEARCH=win32)
  add_test(NAME scenarios_wine32
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/scenarios/run.py
                   --build wine --bin ${DRVINST_WIN32_BUILD} --tools ${CMAKE_BINARY_DIR})
  set_tests_properties(scenarios_wine32 PROPERTIES ENVIRONMENT "${WINE32}")
  add_test(NAME scenarios_wow64
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/scenarios/run.py
                   --build wow64 --bin ${DRVINST_WIN32_BUILD} --tools ${CMAKE_BINARY_DIR})
  add_test(NAME version_agree32
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/version_agree.py
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(version_agree32 PROPERTIES ENVIRONMENT
    "${WINE32};WINEPREFIX=${CMAKE_BINARY_DIR}/wine-version32;CXX_WIN=i686-w64-mingw32-g++")
  set_tests_properties(scenarios_wine32 scenarios_wow64 version_agree32 PROPERTIES
                       LABELS wine SKIP_RETURN_CODE 77)
endif()

# drvinst-image on disk images through libguestfs: minutes, not seconds,
# under software emulation; skipped (77) where no appliance can start.  Its
# appliance starts are bounded, so ctest's limit is only a last guard.
add_test(NAME image COMMAND bash ${CMAKE_SOURCE_DIR}/tests/image/run.sh ${CMAKE_BINARY_DIR})
set_tests_properties(image PROPERTIES LABELS image RUN_SERIAL ON SKIP_RETURN_CODE 77 TIMEOUT 1800)
