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
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${T_TIMEOUT})
    # List-valued properties go on the discovered tests from a script of our
    # own: gtest_discover_tests hands its PROPERTIES on flattened, so that a
    # test would keep only its first label (and its first variable).
    set(list_props "set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${T_LABELS};${name}\")")
    if(T_ENVIRONMENT)
        string(APPEND list_props "\n    set_tests_properties(\"\${t}\" PROPERTIES ENVIRONMENT \"${T_ENVIRONMENT}\")")
    endif()
    set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
    file(WRITE "${props_file}"
        "foreach(t IN LISTS ${name}_TESTS)\n    ${list_props}\nendforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()
