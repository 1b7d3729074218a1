// tarvik.Device: the device's requests from Python: the board, its serial number and EEPROM,
// raw ports, the device command, and the rendezvous.
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>

#include "bindings.h"

namespace tarvik::python {

namespace {

py::dict BoardInfo(Device& device) {
  auto id = device.ReadIdentification(5);
  py::object serial = py::none();
  try {
    serial = py::int_(device.SerialNumber());
  } catch (const Error& error) {
    if (error.LastError() != DAQ_ERR_NO_SERIAL) throw;
  }
  BoardSummary board = device.ReadBoardSummary();
  ResourceSummary resources = device.ReadResourceSummary();
  py::list ports;
  for (unsigned i = 0; i < std::min<unsigned>(resources.portCount, resources.ports.size()); ++i) {
    const PortRange& port = resources.ports[i];
    py::dict range;
    range["base"] = port.base;
    range["length"] = port.length;
    range["memory_space"] = port.mapped;
    ports.append(range);
  }
  py::dict info;
  info["identification"] = std::vector<unsigned>(id.begin(), id.begin() + 5);
  info["good_board"] = id[4] == 9;
  info["serial_number"] = serial;
  info["board_port"] = board.boardPort;
  info["interrupt_line"] = board.irqLine;
  info["frame_interrupts"] = board.frameInterrupts;
  info["other_interrupts"] = board.otherInterrupts;
  info["port_ranges"] = ports;
  info["memory_ranges"] = resources.memoryCount;
  return info;
}

CommandBuffer ToCommand(const py::bytes& data) {
  std::string text = data;
  CommandBuffer buffer{};
  if (text.empty() || text.size() > buffer.size()) {
    throw py::value_error("a device command is 1 to 100 bytes, its number first");
  }
  std::memcpy(buffer.data(), text.data(), text.size());
  return buffer;
}

RegisterWidth Width(unsigned bytes) {
  switch (bytes) {
    case 1: return RegisterWidth::Byte;
    case 2: return RegisterWidth::Word;
    case 4: return RegisterWidth::Dword;
    default: throw py::value_error("a register is 1, 2 or 4 bytes wide");
  }
}

}  // namespace

Device& PyDevice::Get() {
  if (!device_) throw py::value_error("the device has been closed");
  return *device_;
}

void PyDevice::Close() {
  auto acquisitions = acquisitions_;
  for (PyAcquisition* acquisition : acquisitions) {
    try {
      acquisition->Stop();
    } catch (const Error&) {
      // The device refused the stop: it is closing all the same.
    }
    acquisition->Forget();
  }
  device_.reset();
}

PendingWait& PyWait::Get() {
  if (!wait_) throw py::value_error("the wait has been closed");
  return *wait_;
}

py::class_<PyDevice> BindDevice(py::module_& m) {
  py::class_<PyWait>(m, "PendingWait",
                     "A wait parked in the driver's rendezvous (Device.begin_wait())")
      .def(
          "wait",
          [](PyWait& self, double seconds) {
            PendingWait& wait = self.Get();
            py::gil_scoped_release release;
            return wait.Wait(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
          },
          py::arg("timeout"),
          "The value another client signalled, or None when the time-out (seconds) passes")
      .def("cancel", [](PyWait& self) { return self.Get().Cancel(); },
           "Cancels a parked wait; True when the cancel ended it, False when it had ended")
      .def_property_readonly("completed", [](PyWait& self) { return self.Get().Completed(); });

  py::class_<PyDevice> device(m, "Device", R"doc(
The device \\.\Tarvik, opened; raises tarvik.Error when it is not there (on Linux: no
EmulatedMachine runs). A context manager; close() closes it.)doc");
  device.def(py::init<>())
      .def("__enter__", [](PyDevice& self) -> PyDevice& { return self; },
           py::return_value_policy::reference)
      .def("__exit__", [](PyDevice& self, py::args) { self.Close(); })
      .def("close", &PyDevice::Close)
      .def_property_readonly("closed", &PyDevice::Closed)
      .def("open_board", [](PyDevice& self) { self.Get().OpenBoard(); })
      .def("board_info", [](PyDevice& self) { return BoardInfo(self.Get()); },
           "Identification bytes, serial number (None when the EEPROM holds none), board port, "
           "interrupt line and counters, port ranges")
      .def("identification",
           [](PyDevice& self, uint8_t count) {
             auto bytes = self.Get().ReadIdentification(count);
             return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
           },
           py::arg("count") = 5)
      .def("serial_number", [](PyDevice& self) { return self.Get().SerialNumber(); })
      .def("last_error", [](PyDevice& self) { return self.Get().LastError(); },
           "The driver's last-error code (tarvik.last_error_name gives its name)")
      .def("read_eeprom",
           [](PyDevice& self, uint16_t first, uint16_t count) {
             return self.Get().ReadEeprom(first, count);
           },
           py::arg("first"), py::arg("count") = 1, "Words from `first` (0..63)")
      .def("write_eeprom",
           [](PyDevice& self, uint16_t first, const std::vector<uint16_t>& words) {
             self.Get().WriteEeprom(first, words);
           },
           py::arg("first"), py::arg("words"))
      .def("port_in", [](PyDevice& self, uint16_t port, unsigned width) {
             return self.Get().PortIn(port, width);
           },
           py::arg("port"), py::arg("width"), "A read of 1, 2 or 4 bytes, inside the card's ranges")
      .def("port_out", [](PyDevice& self, uint16_t port, unsigned width, uint32_t value) {
             self.Get().PortOut(port, width, value);
           },
           py::arg("port"), py::arg("width"), py::arg("value"))
      .def("read_register", [](PyDevice& self, uint16_t offset, unsigned width) {
             return self.Get().ReadRegister(offset, Width(width));
           },
           py::arg("offset"), py::arg("width") = 1, "The card's register window + offset")
      .def("write_register",
           [](PyDevice& self, uint16_t offset, uint32_t value, unsigned width) {
             self.Get().WriteRegister(offset, Width(width), value);
           },
           py::arg("offset"), py::arg("value"), py::arg("width") = 1)
      .def("read_bridge_register",
           [](PyDevice& self, uint8_t offset) { return self.Get().ReadBridgeRegister(offset); },
           py::arg("offset"))
      .def("device_command",
           [](PyDevice& self, const py::bytes& command) {
             CommandBuffer reply = self.Get().SubCommand(ToCommand(command));
             return py::bytes(reinterpret_cast<const char*>(reply.data()), reply.size());
           },
           py::arg("command"),
           "A raw device command: up to 100 bytes, its number first; returns the 100 bytes back")
      .def("set_range_bits", [](PyDevice& self, uint8_t range) { self.Get().SetRangeBits(range); },
           py::arg("range"))
      .def("read_last_frame", [](PyDevice& self) {
             Frame frame = self.Get().ReadLastFrame();
             return FramesArray(std::span<const Frame>(&frame, 1));
           })
      .def("acquisition_running", [](PyDevice& self) { return self.Get().AcquisitionRunning(); })
      .def("begin_wait",
           [](PyDevice& self) { return std::make_unique<PyWait>(self.Get().BeginWait()); },
           "Parks a wait in the rendezvous (on a handle of its own) for another client's signal")
      .def("signal", [](PyDevice& self, uint32_t value) { self.Get().Signal(value); },
           py::arg("value"), "Completes the parked wait with this value");
  return device;
}

}  // namespace tarvik::python
