# Sources of zport, shared by the Windows build (windows/CMakeLists.txt, an
# x64 console program) and the host build (tools/CMakeLists.txt, a library
# whose ZportMain a test runs as a process on a simulated machine). entry.cpp
# holds only the process entry point.
set(ZEPHAN_ZPORT_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZEPHAN_ZPORT_SOURCES
  ${ZEPHAN_ZPORT_DIR}/main.cpp
  ${ZEPHAN_ZPORT_DIR}/port_commands.cpp
  ${ZEPHAN_ZPORT_DIR}/settings_commands.cpp)
set(ZEPHAN_ZPORT_ENTRY ${ZEPHAN_ZPORT_DIR}/entry.cpp)
# The repository root: zport includes the port driver's control codes and
# the settings file's layout (port/control/vendor_ioctl.h, settings_file.h).
get_filename_component(ZEPHAN_ZPORT_ROOT ${ZEPHAN_ZPORT_DIR}/../.. ABSOLUTE)
