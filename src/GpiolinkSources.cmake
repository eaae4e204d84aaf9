# The library's sources for the platform being built, as full paths. The
# library is built from them (src/CMakeLists.txt); so is gpio-tap's copy of
# its routines in the stand-alone build of the simulator and gpio-tap
# (cmake -S tools/gpio_sim), which has no library target.
set(GPIOLINK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/link/bounded_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/port_name_order.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/frame_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/frame_receiver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/listed_ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/serial_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link/system_call_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interface/current_interface.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interface/line_after_failure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interface/request_exchange.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops/port_operations.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops/version_query.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops/interface_discovery.cpp
)
if(WIN32)
  list(APPEND GPIOLINK_SOURCES ${CMAKE_CURRENT_LIST_DIR}/link/serial_services_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link/open_failure_win32.cpp)
else()
  list(APPEND GPIOLINK_SOURCES ${CMAKE_CURRENT_LIST_DIR}/link/serial_services_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link/system_calls_posix.cpp ${CMAKE_CURRENT_LIST_DIR}/link/port_list_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link/linux_files.cpp ${CMAKE_CURRENT_LIST_DIR}/link/terminal_owners_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link/open_failure_posix.cpp)
endif()
