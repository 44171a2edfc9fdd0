# Sources of the installer, shared by the Windows build (windows/setup) and
# the host build. entry.cpp holds only the process entry point, so a host
# test can link the rest and call SetupMain on a simulated machine.
set(ZEPHAN_SETUP_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZEPHAN_SETUP_SOURCES
  ${ZEPHAN_SETUP_DIR}/config.cpp
  ${ZEPHAN_SETUP_DIR}/copy.cpp
  ${ZEPHAN_SETUP_DIR}/install.cpp
  ${ZEPHAN_SETUP_DIR}/main.cpp
  ${ZEPHAN_SETUP_DIR}/message.cpp
  ${ZEPHAN_SETUP_DIR}/reboot.cpp
  ${ZEPHAN_SETUP_DIR}/tools.cpp)
set(ZEPHAN_SETUP_ENTRY ${ZEPHAN_SETUP_DIR}/entry.cpp)
set(ZEPHAN_SETUP_RESOURCES ${ZEPHAN_SETUP_DIR}/setup.rc)
