# Sources of Zephan_Port, shared by the host build (port/CMakeLists.txt) and
# the Windows build (windows/CMakeLists.txt).
set(ZEPHAN_PORT_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZEPHAN_PORT_SOURCES
  ${ZEPHAN_PORT_DIR}/frame/driver_entry.cpp
  ${ZEPHAN_PORT_DIR}/frame/add_device.cpp
  ${ZEPHAN_PORT_DIR}/frame/request.cpp
  ${ZEPHAN_PORT_DIR}/frame/io_count.cpp
  ${ZEPHAN_PORT_DIR}/frame/pool.cpp
  ${ZEPHAN_PORT_DIR}/frame/trace.cpp
  ${ZEPHAN_PORT_DIR}/frame/naming.cpp
  ${ZEPHAN_PORT_DIR}/frame/registry.cpp
  ${ZEPHAN_PORT_DIR}/frame/pnp.cpp
  ${ZEPHAN_PORT_DIR}/frame/create_close.cpp
  ${ZEPHAN_PORT_DIR}/frame/read_write.cpp
  ${ZEPHAN_PORT_DIR}/chip/register.cpp
  ${ZEPHAN_PORT_DIR}/chip/register_image.cpp
  ${ZEPHAN_PORT_DIR}/chip/urb.cpp
  ${ZEPHAN_PORT_DIR}/chip/i2c.cpp
  ${ZEPHAN_PORT_DIR}/chip/configuration.cpp
  ${ZEPHAN_PORT_DIR}/chip/descriptor.cpp
  ${ZEPHAN_PORT_DIR}/chip/pipe.cpp
  ${ZEPHAN_PORT_DIR}/datapath/queue_buffer.cpp
  ${ZEPHAN_PORT_DIR}/datapath/read.cpp
  ${ZEPHAN_PORT_DIR}/datapath/request_list.cpp
  ${ZEPHAN_PORT_DIR}/datapath/bulk_in.cpp
  ${ZEPHAN_PORT_DIR}/datapath/transfer.cpp
  ${ZEPHAN_PORT_DIR}/datapath/write.cpp
  ${ZEPHAN_PORT_DIR}/datapath/purge.cpp
  ${ZEPHAN_PORT_DIR}/datapath/modem_status.cpp
  ${ZEPHAN_PORT_DIR}/datapath/wait_mask.cpp
  ${ZEPHAN_PORT_DIR}/control/device_control.cpp
  ${ZEPHAN_PORT_DIR}/control/line_control.cpp
  ${ZEPHAN_PORT_DIR}/control/modem_lines.cpp
  ${ZEPHAN_PORT_DIR}/control/settings.cpp
  ${ZEPHAN_PORT_DIR}/control/vendor_control.cpp
  ${ZEPHAN_PORT_DIR}/control/maintenance_control.cpp
  ${ZEPHAN_PORT_DIR}/power/power_irp.cpp
  ${ZEPHAN_PORT_DIR}/power/restore.cpp
  ${ZEPHAN_PORT_DIR}/power/idle.cpp
  ${ZEPHAN_PORT_DIR}/power/wake.cpp
  ${ZEPHAN_PORT_DIR}/power/wmi.cpp
  ${ZEPHAN_PORT_DIR}/power/internal_control.cpp
)
file(GLOB ZEPHAN_PORT_HEADERS ${ZEPHAN_PORT_DIR}/*/*.h)
