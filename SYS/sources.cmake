# Driver sources, relative to SYS/. The kernel image (SYS/kernel) and the host build both
# compile exactly this list.
set(TARVIK_DRIVER_SOURCES
    acq/buffering.cpp
    acq/data_reads.cpp
    acq/frame_capture.cpp
    acq/open_board.cpp
    acq/sample_clock.cpp
    acq/start_stop.cpp
    frame/driver_entry.cpp
    frame/add_device.cpp
    frame/create_close.cpp
    frame/pnp_capabilities.cpp
    frame/pnp_dispatch.cpp
    frame/pnp_remove.cpp
    frame/request_routines.cpp
    frame/remove_lock.cpp
    hw/bridge_interrupt.cpp
    hw/eeprom.cpp
    hw/interrupt_dpc.cpp
    hw/interrupt_service.cpp
    hw/serial_number.cpp
    ioctl/device_control.cpp
    ioctl/last_error.cpp
    ioctl/port_io.cpp
)
