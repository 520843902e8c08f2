# Unit tests where a scenario cannot reach: parsers' bounds, the
# interpreter's word splitting, the offline registry's own promises.
enable_testing()
find_package(GTest REQUIRED)
file(GLOB UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit ${UNIT_SOURCES})
target_link_libraries(unit drvinst_core drvinst_platform GTest::gtest_main)
target_include_directories(unit PRIVATE ${HIVEX_INCLUDE_DIR})
target_compile_definitions(unit PRIVATE BUILD_DIR="${CMAKE_BINARY_DIR}")
add_test(NAME unit COMMAND unit)
set_tests_properties(unit PROPERTIES LABELS unit)

# The tool with chosen registry calls failing (tests/probe/faulty.cpp).
add_library(drvinst_core_faulty STATIC ${CORE_SOURCES})
target_include_directories(drvinst_core_faulty PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(drvinst_core_faulty PRIVATE RegCreateKeyExA=FaultyRegCreateKeyExA
                           RegSetValueExA=FaultyRegSetValueExA RegEnumKeyA=FaultyRegEnumKeyA)
add_executable(drvinst-faulty front/main.cpp tests/probe/faulty.cpp)
target_link_libraries(drvinst-faulty drvinst_core_faulty drvinst_platform)

# End-to-end scenarios: the same table against this build and, when a
# Windows build directory is given, against drvinst.exe under Wine.
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
  set_tests_properties(scenarios_wine PROPERTIES LABELS wine RUN_SERIAL ON)
  # The offline version reader against Windows' own, fixture by fixture.
  add_test(NAME version_agree
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/version_agree.py
                   ${CMAKE_BINARY_DIR} ${DRVINST_WIN_BUILD})
  set_tests_properties(version_agree PROPERTIES LABELS wine RUN_SERIAL ON
                       ENVIRONMENT WINEPREFIX=${CMAKE_BINARY_DIR}/wine-version)
endif()
