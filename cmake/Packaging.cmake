# Installing and packaging on Linux. The install tree is a root of its own:
# `cmake --install build/dev` installs into / (or under --prefix), and
# `scripts/package` makes the Debian package of the same tree with CPack.
#
#   opt/fwloader/                 the program folder: the programs; the
#                                 operator puts Config.txt and the firmware here
#   usr/bin/<program>             absolute links into the program folder, as
#                                 Debian wants them between top-level folders;
#                                 the programs resolve the link to find their folder
#   usr/share/applications/, usr/share/icons/hicolor/   desktop entry, icons
#   usr/lib/udev/rules.d/         FTDI adapters' latency timer at 1 ms
#   usr/share/man/man1/, usr/share/doc/fwloader/, usr/share/lintian/overrides/
#   (postinst)                    makes the store /var/lib/fwloader, root:dialout
#                                 2775, and applies the udev rule to adapters
#                                 already plugged in; purging removes the store
#
# Included from the top level after every add_subdirectory, so that every
# program target (fwloader, and fwloader-cli where it is built) exists.

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Root that the install tree goes under" FORCE)
endif()
set(FWLOADER_PROGRAM_DIR "opt/fwloader" CACHE STRING
    "The program folder, below the install root")
# The changelog is kept in the repository, one entry per version, newest
# first; the signer of its newest entry is the package's maintainer.
# scripts/package refuses to make a package for publishing while that is a
# placeholder address, or while the newest entry is not this version.
set(fw_changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${fw_changelog})
file(STRINGS ${fw_changelog} fw_signers REGEX "^ -- ")
list(GET fw_signers 0 fw_maintainer)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" fw_maintainer "${fw_maintainer}")
unset(FWLOADER_MAINTAINER CACHE)  # the maintainer was a setting of its own before
set(FWLOADER_PROGRAM_FOLDER "/${FWLOADER_PROGRAM_DIR}")

set(fw_programs fwloader)
if(TARGET fwloader-cli)
    list(APPEND fw_programs fwloader-cli)
endif()

set(fw_staging ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${fw_staging}/bin)

install(TARGETS ${fw_programs} RUNTIME DESTINATION ${FWLOADER_PROGRAM_DIR})

# The commands on the PATH: absolute links, so they point into the program
# folder of the installed system (a tree unpacked elsewhere is started from
# its program folder).
foreach(program IN LISTS fw_programs)
    file(CREATE_LINK ${FWLOADER_PROGRAM_FOLDER}/${program} ${fw_staging}/bin/${program} SYMBOLIC)
    install(FILES ${fw_staging}/bin/${program} DESTINATION usr/bin)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/fwloader.desktop
        DESTINATION usr/share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/fwloader.svg
        DESTINATION usr/share/icons/hicolor/scalable/apps)
foreach(size 48 256)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/fwloader-${size}.png
            DESTINATION usr/share/icons/hicolor/${size}x${size}/apps RENAME fwloader.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-fwloader-ftdi-latency.rules
        DESTINATION usr/lib/udev/rules.d)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION usr/share/doc/fwloader)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION usr/share/lintian/overrides RENAME fwloader)

# Manual pages and the changelog, compressed as Debian wants them (no name or
# time stamp in the gzip header, so that the package builds the same).
set(fw_compressed)
foreach(page IN LISTS fw_programs)
    set(fw_compressed_files ${fw_compressed_files} ${page}.1)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${page}.1.in ${fw_staging}/${page}.1 @ONLY)
endforeach()
list(APPEND fw_compressed_files changelog)
configure_file(${fw_changelog} ${fw_staging}/changelog COPYONLY)
foreach(name IN LISTS fw_compressed_files)
    add_custom_command(OUTPUT ${fw_staging}/${name}.gz
        COMMAND gzip -9 -n -c ${fw_staging}/${name} > ${fw_staging}/${name}.gz
        DEPENDS ${fw_staging}/${name}
        VERBATIM)
    list(APPEND fw_compressed ${fw_staging}/${name}.gz)
endforeach()
add_custom_target(fwloader_package_files ALL DEPENDS ${fw_compressed})
foreach(page IN LISTS fw_programs)
    install(FILES ${fw_staging}/${page}.1.gz DESTINATION usr/share/man/man1)
endforeach()
install(FILES ${fw_staging}/changelog.gz DESTINATION usr/share/doc/fwloader)

set(fw_cli_description)
if(TARGET fwloader-cli)
    set(fw_cli_description "\nfwloader-cli runs the same sessions from scripts and production lines,
on several ports at once.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fwloader developers")
set(CPACK_PACKAGE_CONTACT "${fw_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for devices with a serial bootloader")
# Lines of the extended description, as they appear in the package.
set(CPACK_PACKAGE_DESCRIPTION
    "fwloader updates a device's firmware over its serial bootloader: with one
button it loads the Intel HEX file in its program folder, ${FWLOADER_PROGRAM_FOLDER},
and writes it to the device over a serial port, showing its progress.
A second button chooses the port, which is stored for the machine.${fw_cli_description}
.
The package holds the programs, a desktop entry, and a udev rule that sets
the latency timer of FTDI USB-serial adapters to 1 ms, which shortens an
update by many seconds.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from shlibdeps; the window also needs Qt's platform
# plugins, which it loads at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)

# The package test: made from this tree, unpacked into a scratch root, the
# programs started from there. Sanitized and fuzzing builds are not packaged.
if(FW_BUILD_TESTS AND NOT FW_SANITIZE AND NOT FW_FUZZ)
    add_test(NAME installed_package
             COMMAND ${PROJECT_SOURCE_DIR}/tests/package/installed_package_test.sh
                     ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION}
                     $<IF:$<TARGET_EXISTS:fwloader-cli>,1,0>)
    set_tests_properties(installed_package PROPERTIES TIMEOUT 600 LABELS package)
endif()
