// The Python module `tarvik`: the client library and, on Linux, the emulated machine, with
// the library's errors raised as tarvik.Error.
#include <pybind11/stl.h>

#include "bindings.h"
#include "frame_layout.h"
#include "version.h"

namespace tarvik::python {
namespace {

// tarvik.Error, kept for the life of the process (the translator may run until its end).
PyObject* g_error = nullptr;

void RaiseError(const Error& error) {
  py::object instance = py::reinterpret_borrow<py::object>(g_error)(error.what());
  instance.attr("operation") = error.Operation();
  instance.attr("status") = static_cast<uint32_t>(error.Status());  // as written: 0xC0000001
  instance.attr("win32_error") = error.Win32Error();
  instance.attr("last_error") = error.LastError();
  instance.attr("last_error_name") = error.LastErrorName();
  PyErr_SetObject(g_error, instance.ptr());
}

}  // namespace
}  // namespace tarvik::python

PYBIND11_MODULE(tarvik, m) {
  using namespace tarvik::python;
  m.doc() = R"doc(The Tarvik analog-input card from Python: its device, acquisitions as NumPy
arrays, and on Linux the emulated machine (EmulatedMachine) that runs the card and its driver
in this process.)doc";
  m.attr("__version__") = tarvik::tool::kToolVersion;

  g_error = PyErr_NewExceptionWithDoc(
      "tarvik.Error",
      "A request the device or its driver failed. Attributes: operation, status (the NTSTATUS "
      "behind the Win32 error where it is known, else 0), win32_error, last_error (the "
      "driver's last-error code) and last_error_name.",
      nullptr, nullptr);
  m.attr("Error") = py::handle(g_error);
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const tarvik::Error& error) {
      RaiseError(error);
    } catch (const Timeout& timeout) {
      PyErr_SetString(PyExc_TimeoutError, timeout.what());
    }
  });

  py::tuple words(tarvik::tool::kChannels);
  for (unsigned i = 0; i < tarvik::tool::kChannels; ++i) {
    words[i] = std::string(tarvik::tool::kChannelLayout[i].name);
  }
  m.attr("WORDS") = words;
  m.def("last_error_name", [](uint32_t code) -> py::object {
          const char* name = DaqLastErrorName(code);
          return name != nullptr ? py::object(py::str(name)) : py::object(py::none());
        },
        py::arg("code"), "The name of a driver's last-error code (None for one it has not)");

  BindMachine(m);
  auto device = BindDevice(m);
  BindAcquisition(m, device);
}
