# The Windows images are cross-compiled with MinGW-w64 by separate CMake
# projects: Zephan_Port.sys for x64 by windows/, setup.exe for i686 by
# windows/setup/.
include(ExternalProject)
set(ZEPHAN_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(windows_images
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/windows
  BINARY_DIR ${ZEPHAN_WINDOWS_BINARY_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS TRUE
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD TRUE)

# setup.exe for i686: its own project (windows/setup) with the i686 toolchain.
set(ZEPHAN_SETUP_BINARY_DIR ${CMAKE_BINARY_DIR}/windows-setup)
ExternalProject_Add(windows_setup
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/windows/setup
  BINARY_DIR ${ZEPHAN_SETUP_BINARY_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
  BUILD_ALWAYS TRUE
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD TRUE)
add_test(NAME windows.setup_image
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_setup_image.sh ${ZEPHAN_SETUP_BINARY_DIR}/setup.exe)
# The check must refuse an image that is not the installer (the x64 driver:
# PE32+, no manifest, kernel imports).
add_test(NAME windows.check_setup_image_refuses_driver
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_setup_image.sh ${ZEPHAN_WINDOWS_BINARY_DIR}/Zephan_Port.sys)
set_tests_properties(windows.check_setup_image_refuses_driver PROPERTIES WILL_FAIL TRUE)

# zport.exe, built with the driver by windows/: an x64 console program that
# imports only kernel32, advapi32 and the C runtime. The check must refuse the x64
# driver built beside it (native subsystem, kernel imports).
add_test(NAME windows.zport_image
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_console_image.sh ${ZEPHAN_WINDOWS_BINARY_DIR}/zport.exe)
add_test(NAME windows.check_console_image_refuses_driver
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_console_image.sh ${ZEPHAN_WINDOWS_BINARY_DIR}/Zephan_Port.sys)
set_tests_properties(windows.check_console_image_refuses_driver PROPERTIES WILL_FAIL TRUE)
# The serial clients of the system tests, built unchanged as Windows programs.
foreach(client comterm xfer)
  add_test(NAME windows.${client}_image
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_console_image.sh ${ZEPHAN_WINDOWS_BINARY_DIR}/${client}.exe)
endforeach()
