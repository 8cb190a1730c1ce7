# Shared build settings: one warning list per target, one way to add a test.

set(SICLQUILL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)

function(siclquill_warnings target)
    target_compile_options(${target} PRIVATE ${SICLQUILL_WARNINGS})
    if(SICLQUILL_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# siclquill_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds a GoogleTest executable and registers each of its tests with ctest. Tests are listed
# when ctest runs, not at build time, so a test binary that needs a display or a network
# never runs during the build.
function(siclquill_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock)
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    siclquill_warnings(${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    gtest_discover_tests(${T_NAME}
        DISCOVERY_MODE PRE_TEST
        NO_PRETTY_VALUES
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
