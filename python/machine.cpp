// tarvik.EmulatedMachine: the emulated card and driver booted in the Python process, with the
// tool's machine options, as a context manager.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "bindings.h"

namespace tarvik::python {

namespace {

EmulatedMachine* g_current = nullptr;

class PyMachine {
 public:
  explicit PyMachine(const EmulatedMachineOptions& options)
      : machine_(std::make_unique<EmulatedMachine>(options)) {
    g_current = machine_.get();
  }
  ~PyMachine() { Close(); }
  PyMachine(const PyMachine&) = delete;
  PyMachine& operator=(const PyMachine&) = delete;

  EmulatedMachine& Get() {
    if (!machine_) throw py::value_error("the emulated machine has been shut down");
    return *machine_;
  }

  // What stands on the machine goes first: acquisitions stop and handles close while the
  // kernel that holds them still runs.
  void Close() {
    if (!machine_) return;
    OnMachine::CloseAll();
    g_current = nullptr;
    machine_.reset();
  }

 private:
  std::unique_ptr<EmulatedMachine> machine_;
};

}  // namespace

EmulatedMachine* CurrentMachine() { return g_current; }

void BindMachine(py::module_& m) {
  py::class_<PyMachine>(m, "EmulatedMachine", R"doc(
The emulated machine in this process: the card on its I/O bus and the driver, started as the
platform's PnP manager starts it. While it runs, tarvik.Device() opens its device. One at a
time; use it as a context manager (or call close()).

virtual      the card's sample clock moves only when stepped (step(), or an acquisition's
             reads), for repeatable runs; otherwise it runs in real time
sources      signal sources, "QUANTITY=WAVEFORM:PARAMS" as the tool's --source takes them,
             e.g. "word0=Ramp:0,1", "result-a=Sine:2048,1800,64"
id_byte4     identification byte 4 of the card (9 on a good board)
eeprom_image the card's EEPROM kept in this 128-byte file
)doc")
      .def(py::init([](bool virtualClock, std::vector<std::string> sources,
                       std::optional<unsigned> idByte4,
                       std::optional<std::filesystem::path> eepromImage) {
             EmulatedMachineOptions options;
             options.virtualClock = virtualClock;
             options.sources = std::move(sources);
             if (idByte4) {
               if (*idByte4 > 255) throw py::value_error("id_byte4 is a byte (0 to 255)");
               options.idByte4 = static_cast<uint8_t>(*idByte4);
             }
             options.eepromImage = std::move(eepromImage);
             return std::make_unique<PyMachine>(options);
           }),
           py::kw_only(), py::arg("virtual") = false,
           py::arg("sources") = std::vector<std::string>{}, py::arg("id_byte4") = py::none(),
           py::arg("eeprom_image") = py::none())
      .def("__enter__", [](PyMachine& self) -> PyMachine& { return self; },
           py::return_value_policy::reference)
      .def("__exit__", [](PyMachine& self, py::args) { self.Close(); })
      .def("close", &PyMachine::Close,
           "Shuts the machine down: acquisitions stop, devices close, the driver unloads")
      .def("step", [](PyMachine& self, uint64_t ticks) { return self.Get().Step(ticks); },
           py::arg("ticks"), "Runs the card's sample clock (virtual clock); returns the ticks run")
      .def_property_readonly("virtual", [](PyMachine& self) { return self.Get().VirtualClock(); })
      .def_property_readonly("clock_rate_hz",
                             [](PyMachine& self) { return self.Get().ClockRateHz(); })
      .def_property_readonly("pnp_state", [](PyMachine& self) { return self.Get().PnpStateName(); })
      .def_property_readonly("system_power",
                             [](PyMachine& self) { return self.Get().SystemPowerName(); })
      .def_property_readonly("eeprom_save_failures",
                             [](PyMachine& self) { return self.Get().EepromSaveFailures(); });

  m.def("check_source", &CheckSourceSetting, py::arg("setting"),
        "Raises ValueError saying what is wrong with a signal-source setting");
  m.def("take_broken_rules", &TakeBrokenRules,
        "The platform rules the emulated machine's verifier saw the driver break since the "
        "last call (each was printed as it happened)");
}

}  // namespace tarvik::python
