# fw_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Adds one test executable and registers it with CTest. Qt tests run on the
# offscreen platform so that they need no display, and on a per-machine store
# of the build tree's own, so that no test reads or writes the machine's.
function(fw_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        # Run under Wine (tests/windows/WineTests.cmake), in the build's prefix.
        list(APPEND T_LABELS wine)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wineprefix)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;FWLOADER_STORE_ROOT=${CMAKE_BINARY_DIR}/test-store")
endfunction()
