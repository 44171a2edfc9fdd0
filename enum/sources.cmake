# Sources of Zephan_GPIOEnum, used by both builds. The KMDF entry stub is the
# framework's piece that every KMDF driver links.
set(ZEPHAN_ENUM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bringup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../host/kmdf/entry_stub.cpp)
