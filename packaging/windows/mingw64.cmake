# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads) and the Qt in ZR_QT_DIR
# (packaging/windows/build.sh unpacks it and passes -DZR_QT_DIR=...).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zr_mingw x86_64-w64-mingw32)
# The posix variants by name, whatever update-alternatives points the plain names at: Qt's DLLs use posix threads.
set(CMAKE_C_COMPILER /usr/bin/${zr_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${zr_mingw}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${zr_mingw}-windres)

if(NOT ZR_QT_DIR AND DEFINED ENV{ZR_QT_DIR})
  set(ZR_QT_DIR $ENV{ZR_QT_DIR})
endif()
if(NOT ZR_QT_DIR)
  message(FATAL_ERROR "ZR_QT_DIR: the unpacked qt-5.15.8-mingw64 folder (packaging/windows/build.sh sets it)")
endif()
# try_compile projects see the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZR_QT_DIR)
set(CMAKE_PREFIX_PATH ${ZR_QT_DIR})
set(CMAKE_FIND_ROOT_PATH /usr/${zr_mingw} ${ZR_QT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
