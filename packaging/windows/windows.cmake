# The Windows packages (cpack in the build folder; packaging/windows/build.sh makes both): a zip and an NSIS
# installer holding the two programs side by side with Qt's DLLs and plugins, the MinGW runtime, the README and
# the licence texts of what they carry.
set(zr_windows ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(zrflasher PROPERTIES WIN32_EXECUTABLE ON) # no console window behind the window
target_sources(zrflasher PRIVATE ${zr_windows}/zrflasher.rc)
install(TARGETS zrflasher zrtool RUNTIME DESTINATION .)

# Qt: the DLLs beside the programs, the plugins in the folders Qt looks for next to them.
get_target_property(zr_qtcore_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(zr_qt_bin ${zr_qtcore_dll} DIRECTORY)
get_filename_component(zr_qt_dir ${zr_qt_bin} DIRECTORY)
foreach(module Core Gui Widgets Sql)
  install(FILES ${zr_qt_bin}/Qt5${module}.dll DESTINATION .)
endforeach()
install(FILES ${zr_qt_dir}/plugins/platforms/qwindows.dll DESTINATION platforms)
install(FILES ${zr_qt_dir}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles)
install(FILES ${zr_qt_dir}/plugins/sqldrivers/qsqlite.dll DESTINATION sqldrivers)
install(DIRECTORY ${zr_qt_dir}/licenses/ DESTINATION licenses)

# The compiler's runtime DLLs, wherever this MinGW keeps them.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll} OUTPUT_VARIABLE zr_dll
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${zr_dll}" OR NOT EXISTS "${zr_dll}")
    message(FATAL_ERROR "${dll}: not found by ${CMAKE_CXX_COMPILER} -print-file-name")
  endif()
  install(FILES ${zr_dll} DESTINATION .)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)

set(CPACK_GENERATOR "ZIP;NSIS")
set(CPACK_PACKAGE_NAME zrflasher)
set(CPACK_PACKAGE_VENDOR ZrFlasher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service and production tool for Zr devices on an RS-485 bus")
set(CPACK_PACKAGE_FILE_NAME zrflasher-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF) # the zip unpacks to the programs themselves
set(CPACK_STRIP_FILES ON)
# The installer: Program Files\ZrFlasher, a Start-menu entry with the program's icon, an uninstaller; /S installs
# silently and /D= names the folder.
set(CPACK_PACKAGE_INSTALL_DIRECTORY ZrFlasher)
set(CPACK_PACKAGE_EXECUTABLES zrflasher ZrFlasher)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALLED_ICON_NAME zrflasher.exe)
set(CPACK_NSIS_DISPLAY_NAME "ZrFlasher ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "ZrFlasher ${PROJECT_VERSION}")
set(CPACK_NSIS_MUI_ICON ${zr_windows}/zrflasher.ico)
set(CPACK_NSIS_MUI_UNIICON ${zr_windows}/zrflasher.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for 64-bit programs: it runs where they run (Wine without its 32-bit half too) and installs
# into the 64-bit Program Files.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The installer's own name carries "-setup" (packagename.cmake, read by cpack per generator).
set(CPACK_PROJECT_CONFIG_FILE ${zr_windows}/packagename.cmake)
include(CPack)

zr_linux_test(test_install "the installed tree and the Debian package (the Windows packages are checked by packaging/windows/build.sh)")
