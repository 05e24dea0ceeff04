# The Windows program folder. A Windows program finds its DLLs beside itself
# and Qt's plugins in folders beside it, so the folder holds:
#
#   fwloader.exe, fwloader-cli.exe
#   Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll         Qt
#   libgcc_s_seh-1.dll, libstdc++-6.dll, libwinpthread-1.dll   MinGW's runtime
#   platforms/qwindows.dll                          Qt's Windows platform
#   styles/qwindowsvistastyle.dll                   the native look of controls
#
# The operator puts Config.txt and the firmware files into it.
# `cmake --install build/windows --prefix DIR` makes the folder in DIR, and
# scripts/package --windows zips it and makes the installer of it
# (packaging/windows/). The build's own bin/ folder gets the same files (and
# the Qt Test and offscreen platform DLLs of the tests), so that the programs
# and tests run where they are built, under Wine.
#
# Included from the top level after every add_subdirectory.

if(NOT WIN32)
    return()
endif()

# MinGW's runtime DLLs, where the compiler finds them.
set(fw_mingw_runtime)
foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "MinGW's ${dll} is not where ${CMAKE_CXX_COMPILER} looks")
    endif()
    list(APPEND fw_mingw_runtime ${path})
endforeach()

set(fw_qt_dlls $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>)
set(fw_platform_plugin $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>)
set(fw_style_plugin $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>)

install(TARGETS fwloader fwloader-cli RUNTIME DESTINATION .)
install(FILES ${fw_qt_dlls} ${fw_mingw_runtime} DESTINATION .)
install(FILES ${fw_platform_plugin} DESTINATION platforms)
install(FILES ${fw_style_plugin} DESTINATION styles)
# `cmake --install --strip` (scripts/package --windows) strips the DLLs as
# well as the programs: MinGW's libstdc++-6.dll alone shrinks from 24 MB to
# 2 MB.
set(fw_installed_dlls)
foreach(dll IN LISTS fw_qt_dlls fw_mingw_runtime)
    list(APPEND fw_installed_dlls "$<PATH:GET_FILENAME,${dll}>")
endforeach()
list(APPEND fw_installed_dlls "platforms/$<PATH:GET_FILENAME,${fw_platform_plugin}>"
     "styles/$<PATH:GET_FILENAME,${fw_style_plugin}>")
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(dll $<JOIN:${fw_installed_dlls}, >)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${dll}\")
        endforeach()
    endif()")

set(fw_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set(fw_test_dlls)
if(FW_BUILD_TESTS)
    set(fw_test_dlls $<TARGET_FILE:Qt6::Test>)
    list(APPEND fw_platform_plugin $<TARGET_FILE:Qt6::QOffscreenIntegrationPlugin>)
endif()
add_custom_target(fw_windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${fw_bin}/platforms ${fw_bin}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${fw_qt_dlls} ${fw_test_dlls}
            ${fw_mingw_runtime} ${fw_bin}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${fw_platform_plugin} ${fw_bin}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${fw_style_plugin} ${fw_bin}/styles
    COMMENT "Putting the Qt and MinGW DLLs beside the programs"
    VERBATIM)
