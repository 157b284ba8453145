# qb_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENVIRONMENT ...] [TIMEOUT s])
#
# One GoogleTest executable; its cases are discovered when ctest runs.
# Labels in use:
#   tsan   also run in the ThreadSanitizer build (scripts/test.sh)
#   nosan  not run in the AddressSanitizer build
#   root   needs root (namespaces, device nodes); such tests skip themselves
#          with GTEST_SKIP when not root
# A build configured with -DQB_ONLY_LABEL=<label> makes only the tests
# carrying that label.
set(QB_ONLY_LABEL "" CACHE STRING "Build only the tests carrying this label")

function(qb_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    if(QB_ONLY_LABEL AND NOT QB_ONLY_LABEL IN_LIST T_LABELS)
        return()
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        QB_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        QB_BINARY_DIR="${PROJECT_BINARY_DIR}")
    set(props LABELS "${T_LABELS};${name}" TIMEOUT ${T_TIMEOUT})
    if(T_ENVIRONMENT)
        list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${props})
endfunction()
