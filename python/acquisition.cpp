// tarvik.Device.acquire(): an acquisition as an iterator of NumPy arrays, with the library's
// loss accounting (tarvik::Acquisition), and the rate plans.
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <string>

#include "bindings.h"

namespace tarvik::python {

namespace {

// Rounds of a stepped clock without a single frame before the run is given up.
constexpr int kVirtualIdleRounds = 200;
// The longest wait for data in one go in real time: Python's Ctrl-C is noticed between them.
constexpr std::chrono::milliseconds kRealTimeSlice{50};

struct PyArrival {
  std::optional<uint16_t> sequence;
  uint64_t lostFrames = 0;
  py::array_t<uint16_t> frames;
};

py::dict PlanDict(const RatePlan& plan) {
  py::dict dict;
  dict["driver_rate"] = plan.driverRate;
  dict["clock_rate"] = plan.clockRate;
  dict["decimation"] = plan.decimation;
  dict["clock_hz"] = plan.clockHz;
  dict["ticks_per_frame"] = plan.ticksPerFrame;
  dict["frame_rate"] = plan.frameRate;
  return dict;
}

// The driver rate for the arguments; a frame rate the card cannot run is refused with the
// nearest ones, or with `nearest` the nearest is taken.
int32_t ChooseRate(std::optional<int32_t> rate, std::optional<double> frameRate, bool nearest) {
  if (rate && frameRate) throw py::value_error("give rate or frame_rate, not both");
  if (!frameRate) return rate.value_or(10000);
  FrameRateChoice choice = PlanFrameRate(*frameRate);
  if (choice.exact || nearest) return choice.nearest->driverRate;
  std::string offers;
  for (const auto& plan : {choice.below, choice.above}) {
    if (plan) offers += (offers.empty() ? "" : " or ") + std::to_string(plan->frameRate);
  }
  throw py::value_error("the card cannot deliver " + std::to_string(*frameRate) +
                        " frames/s; the nearest it can: " + offers + " (nearest=True takes it)");
}

}  // namespace

py::array_t<uint16_t> FramesArray(std::span<const Frame> frames) {
  py::array_t<uint16_t> array({static_cast<py::ssize_t>(frames.size()),
                               static_cast<py::ssize_t>(TARVIK_FRAME_WORDS)});
  if (!frames.empty()) std::memcpy(array.mutable_data(), frames.data(), frames.size_bytes());
  return array;
}

PyAcquisition::PyAcquisition(PyDevice& device, const AcquisitionOptions& options,
                             double timeoutSeconds)
    : device_(device), timeoutSeconds_(timeoutSeconds) {
  Acquisition::ClockStep step;
  if (EmulatedMachine* machine = CurrentMachine(); machine != nullptr && machine->VirtualClock()) {
    step = [machine](uint64_t ticks) { return machine->Step(ticks); };
  }
  acquisition_.emplace(device.Get(), options, std::move(step));
  device_.Attach(this);
}

PyAcquisition::~PyAcquisition() {
  device_.Detach(this);
  try {
    Stop();
  } catch (const Error&) {
    // Going away: the device may already have refused; nothing runs that needs a stop.
  }
}

Acquisition& PyAcquisition::Get() {
  if (!acquisition_) throw py::value_error("the device under the acquisition has been closed");
  return *acquisition_;
}

void PyAcquisition::Stop() {
  stopped_ = true;
  if (acquisition_) acquisition_->Stop();
}

void PyAcquisition::Forget() {
  stopped_ = true;
  acquisition_.reset();
}

py::object PyAcquisition::Next() {
  while (next_ == pending_.size()) {
    Get();  // a closed device's acquisition says so rather than ending quietly
    if (stopped_) throw py::stop_iteration();
    Refill();
  }
  return pending_[next_++];
}

// What has arrived is handed out first; only when nothing has does the card run (a stepped
// clock) or the reader wait (real time), so that a caller who steps the machine himself sees
// exactly what his steps produced.
void PyAcquisition::Refill() {
  pending_.clear();
  next_ = 0;
  Acquisition& acquisition = Get();
  bool stepped = CurrentMachine() != nullptr && CurrentMachine()->VirtualClock();
  auto start = std::chrono::steady_clock::now();
  for (int round = 0;; ++round) {
    std::span<const Arrival> arrivals;
    {
      py::gil_scoped_release release;
      if (round > 0) acquisition.Advance(acquisition.FramesPerBlock(), kRealTimeSlice);
      arrivals = acquisition.Poll();
    }
    for (const Arrival& arrival : arrivals) {
      pending_.push_back(py::cast(PyArrival{arrival.sequence, arrival.lostFrames,
                                            FramesArray(arrival.frames)}));
    }
    if (!pending_.empty()) return;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (stepped ? round > kVirtualIdleRounds : waited > timeoutSeconds_) {
      uint32_t code = device_.Get().LastError();
      const char* name = DaqLastErrorName(code);
      throw Timeout(std::string("no data arrived") +
                    (stepped ? " in " + std::to_string(kVirtualIdleRounds) + " steps of the clock"
                             : " in " + std::to_string(timeoutSeconds_) + " s") +
                    " (driver's last error: " + (name != nullptr ? name : std::to_string(code)) +
                    "); is identification byte 4 of the board 9?");
    }
  }
}

void BindAcquisition(py::module_& m, py::class_<PyDevice>& device) {
  py::class_<PyArrival>(m, "Arrival", R"doc(
Frames that arrived, oldest first: in block mode one block, with its sequence number; in
continuous mode the ring's newest frames not seen before. lost_frames counts the frames the
card produced just before these that never arrived (a full pool's dropped blocks, or frames
overwritten in the ring).)doc")
      .def_readonly("sequence", &PyArrival::sequence)
      .def_readonly("lost_frames", &PyArrival::lostFrames)
      .def_readonly("frames", &PyArrival::frames, "(frames, 16) uint16 array")
      .def("__repr__", [](const PyArrival& self) {
        return "<tarvik.Arrival " + std::to_string(self.frames.shape(0)) + " frames" +
               (self.sequence ? ", block " + std::to_string(*self.sequence) : std::string()) +
               ", " + std::to_string(self.lostFrames) + " lost before>";
      });

  auto counter = [](uint64_t (Acquisition::*get)() const) {
    return [get](PyAcquisition& self) { return (self.Get().*get)(); };
  };
  py::class_<PyAcquisition>(m, "Acquisition", R"doc(
A running acquisition (Device.acquire()): iterate it for Arrivals; stop() or the end of a
`with` stops the card. On a virtual clock each read runs the clock for a block (or the ring);
in real time it waits, and raises TimeoutError when nothing comes for `timeout` seconds.)doc")
      .def("__iter__", [](PyAcquisition& self) -> PyAcquisition& { return self; },
           py::return_value_policy::reference)
      .def("__next__", &PyAcquisition::Next)
      .def("__enter__", [](PyAcquisition& self) -> PyAcquisition& { return self; },
           py::return_value_policy::reference)
      .def("__exit__", [](PyAcquisition& self, py::args) { self.Stop(); })
      .def("stop", &PyAcquisition::Stop)
      .def_property_readonly("mode", [](PyAcquisition& self) {
        return self.Get().Mode() == AcquisitionMode::Block ? "block" : "continuous";
      })
      .def_property_readonly("plan", [](PyAcquisition& self) { return PlanDict(self.Get().Plan()); })
      .def_property_readonly("frame_rate",
                             [](PyAcquisition& self) { return self.Get().Plan().frameRate; })
      .def_property_readonly("frames_per_block",
                             [](PyAcquisition& self) { return self.Get().FramesPerBlock(); })
      .def_property_readonly("received_frames", counter(&Acquisition::ReceivedFrames))
      .def_property_readonly("received_blocks", counter(&Acquisition::ReceivedBlocks))
      .def_property_readonly("lost_blocks", counter(&Acquisition::LostBlocks))
      .def_property_readonly("lost_frames", counter(&Acquisition::LostFrames));

  device.def(
          "acquire",
          [](PyDevice& self, const std::string& mode, std::optional<int32_t> rate,
             std::optional<double> frameRate, bool nearest, uint32_t framesPerBlock,
             int16_t blocks, uint16_t gain, double timeout) {
            AcquisitionOptions options;
            if (mode != "block" && mode != "continuous") {
              throw py::value_error("mode is \"block\" or \"continuous\"");
            }
            options.mode = mode == "block" ? AcquisitionMode::Block : AcquisitionMode::Continuous;
            options.start.rate = ChooseRate(rate, frameRate, nearest);
            options.start.framesPerBlock = framesPerBlock;
            options.start.blockCount = blocks;
            options.start.gain = gain;
            return std::make_unique<PyAcquisition>(self, options, timeout);
          },
          py::kw_only(), py::arg("mode") = "block", py::arg("rate") = py::none(),
          py::arg("frame_rate") = py::none(), py::arg("nearest") = false,
          py::arg("frames_per_block") = 64, py::arg("blocks") = 8, py::arg("gain") = 1,
          py::arg("timeout") = 2.0, py::keep_alive<0, 1>(), R"doc(
Starts an acquisition (open_board() first): mode "block" (a pool of `blocks` blocks of
`frames_per_block` frames, each numbered) or "continuous" (a ring of `frames_per_block`
frames); at the driver's `rate` (default 10000: 5000 frames/s) or at `frame_rate` frames per
second (refused when the card cannot deliver it, unless `nearest`).)doc");

  m.def("plan_rate", [](int32_t rate) -> py::object {
          auto plan = PlanDriverRate(rate);
          return plan ? py::object(PlanDict(*plan)) : py::none();
        },
        py::arg("rate"), "What a driver rate becomes on the card (None for one it refuses)");
}

}  // namespace tarvik::python
