// The Python module `tarvik` over the client library: what its parts share. The emulated
// machine (machine.cpp), the device and its requests (device.cpp), acquisitions (acquisition.cpp)
// and the module with its errors (module.cpp).
//
// Objects that stand on the machine are closed before it goes: closing the EmulatedMachine
// stops every acquisition and closes every device first, so that no handle outlives the
// kernel that holds it. A closed object raises ValueError when used.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>

#include "tarvik/acquisition.h"
#include "tarvik/device.h"
#include "tarvik/emulated_machine.h"

namespace tarvik::python {

namespace py = pybind11;

// Raised as Python's TimeoutError.
struct Timeout : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class PyAcquisition;

// What Python holds that stands on the machine (a device, a parked wait): closed before the
// machine goes.
class OnMachine {
 public:
  OnMachine() { All().insert(this); }
  virtual ~OnMachine() { All().erase(this); }
  OnMachine(const OnMachine&) = delete;
  OnMachine& operator=(const OnMachine&) = delete;

  virtual void Close() = 0;
  static void CloseAll() {
    auto open = All();  // a copy: closing may change the set
    for (OnMachine* object : open) object->Close();
  }

 private:
  static std::set<OnMachine*>& All() {
    static std::set<OnMachine*> all;
    return all;
  }
};

// A Device as Python holds it: closed explicitly, at the end of a `with`, or when the machine
// under it goes.
class PyDevice : public OnMachine {
 public:
  PyDevice() : device_(std::in_place) {}
  ~PyDevice() override { PyDevice::Close(); }

  Device& Get();
  void Close() override;
  bool Closed() const { return !device_; }

  void Attach(PyAcquisition* acquisition) { acquisitions_.insert(acquisition); }
  void Detach(PyAcquisition* acquisition) { acquisitions_.erase(acquisition); }

 private:
  std::optional<Device> device_;
  std::set<PyAcquisition*> acquisitions_;
};

class PyAcquisition {
 public:
  PyAcquisition(PyDevice& device, const AcquisitionOptions& options, double timeoutSeconds);
  ~PyAcquisition();
  PyAcquisition(const PyAcquisition&) = delete;
  PyAcquisition& operator=(const PyAcquisition&) = delete;

  // The next arrival: waits (real time) or runs the virtual clock until one comes; raises
  // TimeoutError when nothing comes for the time-out, StopIteration once stopped.
  py::object Next();
  void Stop();
  // The device under it is closing: stopped, and of no further use.
  void Forget();
  Acquisition& Get();

 private:
  void Refill();

  PyDevice& device_;
  double timeoutSeconds_;
  bool stopped_ = false;
  std::optional<Acquisition> acquisition_;
  // Arrivals of the last poll not yet handed out, as Python objects.
  std::vector<py::object> pending_;
  size_t next_ = 0;
};

// A wait parked in the rendezvous, on a handle of its own.
class PyWait : public OnMachine {
 public:
  explicit PyWait(PendingWait wait) : wait_(std::move(wait)) {}
  ~PyWait() override { PyWait::Close(); }

  PendingWait& Get();
  void Close() override { wait_.reset(); }

 private:
  std::optional<PendingWait> wait_;
};

// The machine Python booted, if one lives.
EmulatedMachine* CurrentMachine();

// Frames as an (n, 16) uint16 array of their own.
py::array_t<uint16_t> FramesArray(std::span<const Frame> frames);

void BindMachine(py::module_& m);
py::class_<PyDevice> BindDevice(py::module_& m);
void BindAcquisition(py::module_& m, py::class_<PyDevice>& device);

}  // namespace tarvik::python
