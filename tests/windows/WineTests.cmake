# Tests of the Windows build, run under Wine (label wine; the label windows
# marks the narrower checks of the Linux build below). The unit tests of the
# other folders run through the build's emulator (tests/CMakeLists.txt); the
# ones here need the simulated device of a Linux build (FW_SIMULATOR, which
# scripts/build windows points at build/dev/bin/fwsim), a display (Xvfb) or
# the installed program folder.

find_program(FW_PYTHON3 python3 REQUIRED)
set(FW_SIMULATOR "" CACHE FILEPATH "The simulated device of a Linux build (build/dev/bin/fwsim)")
set(driver ${CMAKE_CURRENT_SOURCE_DIR}/wine_programs.py)
set(prefix ${CMAKE_BINARY_DIR}/wineprefix)
set(run ${CMAKE_CURRENT_SOURCE_DIR}/run-qt-test-under-wine ${FW_WINE64} ${prefix})
set(with_device ${CMAKE_CURRENT_SOURCE_DIR}/with-device ${FW_SIMULATOR} ${prefix})

# The prefix, made once before the tests that run in it.
add_test(NAME wine_prefix COMMAND ${FW_PYTHON3} ${driver} prepare --wine ${FW_WINE64}
                                  --prefix ${prefix} --offscreen)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wineprefix LABELS wine TIMEOUT 300)

# The program folder as the zip and the installer hold it.
add_test(NAME wine_folder COMMAND sh -c "rm -rf '${CMAKE_BINARY_DIR}/wine-folder' && '${CMAKE_COMMAND}' --install '${CMAKE_BINARY_DIR}' --prefix '${CMAKE_BINARY_DIR}/wine-folder' --strip")
set_tests_properties(wine_folder PROPERTIES FIXTURES_SETUP winefolder LABELS wine)

# The file list by Windows rules.
fw_add_test(WindowsFilesTest SOURCES WindowsFilesTest.cpp LIBS fwplatform)
# The console's close event waits for the records.
fw_add_test(ConsoleControlTest SOURCES ConsoleControlTest.cpp LIBS fwcli)

if(NOT EXISTS "${FW_SIMULATOR}")
    if(FW_REQUIRE_TEST_TOOLS)
        message(FATAL_ERROR "FW_SIMULATOR names no simulated device: build build/dev first")
    endif()
    message(STATUS "No simulated device (FW_SIMULATOR): the Wine tests with a device are left out")
    return()
endif()

# The serial port against the device; the vanishing device on a run of its own.
add_executable(Win32SerialPortTest Win32SerialPortTest.cpp)
target_link_libraries(Win32SerialPortTest PRIVATE fwplatform Qt6::Test)
add_test(NAME Win32SerialPortTest COMMAND ${with_device} 11 --
         ${run} $<TARGET_FILE:Win32SerialPortTest>)
add_test(NAME Win32SerialPortTest_vanish COMMAND ${with_device} 12 --fault connect:vanish --
         ${run} $<TARGET_FILE:Win32SerialPortTest> vanishingDeviceClosesThePortWithOneLineError)
set_tests_properties(Win32SerialPortTest_vanish PROPERTIES ENVIRONMENT FWLOADER_TEST_VANISH=1)
set_tests_properties(Win32SerialPortTest Win32SerialPortTest_vanish PROPERTIES
    LABELS wine TIMEOUT 120 FIXTURES_REQUIRED wineprefix)

# The programs of the folder, as an operator and a production line use them.
foreach(case cli-update cli-station cli-read cli-silent cli-ctrl-c window installer)
    if(case STREQUAL "window")
        set(case_prefix ${CMAKE_BINARY_DIR}/wineprefix-window)  # it ends its prefix's programs
        add_test(NAME wine_prefix_window COMMAND ${FW_PYTHON3} ${driver} prepare
                 --wine ${FW_WINE64} --prefix ${case_prefix})
        set_tests_properties(wine_prefix_window PROPERTIES
            FIXTURES_SETUP wineprefixwindow LABELS wine TIMEOUT 300)
        set(fixtures winefolder wineprefixwindow)
    else()
        set(case_prefix ${prefix})
        set(fixtures winefolder wineprefix)
    endif()
    add_test(NAME wine_${case}
             COMMAND ${FW_PYTHON3} ${driver} ${case} --wine ${FW_WINE64} --prefix ${case_prefix}
                     --folder ${CMAKE_BINARY_DIR}/wine-folder --fwsim ${FW_SIMULATOR}
                     --sample ${PROJECT_SOURCE_DIR}/sample --build ${CMAKE_BINARY_DIR})
    set_tests_properties(wine_${case} PROPERTIES
        LABELS wine TIMEOUT 300 FIXTURES_REQUIRED "${fixtures}")
endforeach()
