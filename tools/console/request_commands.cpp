// The console's handle and request commands: open and close, device-control requests
// (waited for or left pending), the console's events, cancellation and the last error.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tarvik_ioctl.h"

#include "session_impl.h"

namespace tarvik::console {

Reply ConsoleSession::Impl::Open(const Args&) {
  sim::nt::Handle file = 0;
  int32_t status = sim::nt::CreateFile(kDevicePath, false, &file);
  if (status < 0) return Reply::Fail("status=" + Status(status));
  uint32_t tag = nextHandle++;
  handles[tag] = file;
  return Reply::Ok("h" + std::to_string(tag));
}

Reply ConsoleSession::Impl::CloseHandle(const Args& args) {
  uint32_t tag = 0;
  auto file = FindHandle(args[0], &tag);
  if (!file) return Reply::Fail("unknown handle '" + std::string(args[0]) + "'");
  handles.erase(tag);
  int32_t status = sim::nt::Close(*file);
  if (handles.empty()) FinishRemoval();
  return Reply::Ok("status=" + Status(status));
}

// Parses "h<N> CODE INHEX OUTLEN" and sends the request; null with `error` set on failure.
std::unique_ptr<Request> ConsoleSession::Impl::Send(const Args& args, std::string* error) {
  uint32_t tag = 0;
  auto file = FindHandle(args[0], &tag);
  if (!file) {
    *error = "unknown handle '" + std::string(args[0]) + "'";
    return nullptr;
  }
  auto code = ParseControlCode(args[1]);
  auto input = ParseInput(args[2]);
  auto outputLength = ParseNumber(args[3]);
  if (!code || !input || !outputLength) {
    *error = "usage: ioctl h<N> CODE INHEX OUTLEN";
    return nullptr;
  }
  if (*outputLength > kMaxOutputLength) {
    *error = "output length above " + std::to_string(kMaxOutputLength);
    return nullptr;
  }
  auto request = std::make_unique<Request>();
  request->handleTag = tag;
  request->file = *file;
  request->input = std::move(*input);
  request->output.assign(*outputLength, 0);
  request->iosb.status = kStatusPending;
  int32_t status = sim::nt::CreateEvent(true, false, &request->event);
  if (status < 0) {
    *error = "event status=" + Status(status);
    return nullptr;
  }
  status = sim::nt::DeviceIoControlFile(
      request->file, request->event, &request->iosb, *code,
      request->input.empty() ? nullptr : request->input.data(),
      static_cast<uint32_t>(request->input.size()),
      request->output.empty() ? nullptr : request->output.data(),
      static_cast<uint32_t>(request->output.size()));
  if (status != kStatusPending) {
    // Completed at once; a failure the I/O manager found before the driver leaves the
    // status block untouched.
    if (status < 0 && request->iosb.status != status) {
      request->iosb.status = status;
      request->iosb.information = 0;
    }
    sim::nt::SetEvent(request->event);
  }
  return request;
}

Reply ConsoleSession::Impl::Ioctl(const Args& args) {
  std::string error;
  auto request = Send(args, &error);
  if (!request) return Reply::Fail(error);
  if (!WaitForCompletion(*request, options.waitLimit.count())) {
    uint32_t id = request->id = nextRequest++;
    outstanding[id] = std::move(request);
    return Reply::Fail("pending r" + std::to_string(id));
  }
  sim::nt::Close(request->event);
  return Reply::Ok(CompletionValues(*request));
}

Reply ConsoleSession::Impl::IoctlAsync(const Args& args) {
  std::string error;
  auto request = Send(args, &error);
  if (!request) return Reply::Fail(error);
  uint32_t id = request->id = nextRequest++;
  outstanding[id] = std::move(request);
  return Reply::Ok("r" + std::to_string(id));
}

Reply ConsoleSession::Impl::Wait(const Args& args) {
  Request* request = FindRequest(args[0]);
  if (request == nullptr) return Reply::Fail("unknown request '" + std::string(args[0]) + "'");
  int64_t limit = options.waitLimit.count();
  if (args.size() > 1) {
    auto ms = ParseNumber(args[1]);
    if (!ms || *ms > INT32_MAX) return Reply::Fail("usage: wait r<N> [MS]");
    limit = static_cast<int64_t>(*ms);
  }
  if (!WaitForCompletion(*request, limit)) return Reply::Fail("timeout");
  return Reply::Ok();
}

// Waits until the request's completion has written its status block; a signal of its event
// by anyone else does not end it.
bool ConsoleSession::Impl::WaitForCompletion(const Request& request, int64_t limitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int64_t slice = std::max<int64_t>(0, left.count());
    if (sim::nt::WaitForSingleObject(request.event, slice) == kStatusSuccess &&
        request.Completed()) {
      return true;
    }
    if (left.count() <= 0) return false;
    if (!request.Completed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// INHEX, where "<e<N>>" stands for the handle of the console's event e<N> as four
// little-endian bytes (a START's block event): on 98/Me the ring-0 handle OpenVxDHandle
// makes of it, as a program there must pass.
std::optional<std::vector<uint8_t>> ConsoleSession::Impl::ParseInput(std::string_view text) {
  std::string hex;
  while (!text.empty()) {
    size_t open = text.find('<');
    hex += text.substr(0, open);
    if (open == std::string_view::npos) break;
    size_t close = text.find('>', open);
    if (close == std::string_view::npos) return std::nullopt;
    auto tag = ParseTagged(text.substr(open + 1, close - open - 1), 'e');
    auto it = tag ? events.find(*tag) : events.end();
    if (it == events.end()) return std::nullopt;
    char bytes[9];
    uint32_t v = it->second;
    if (sim::kernel::CurrentWdmSupport() == sim::kernel::WdmSupport::Wdm10Only &&
        sim::nt::OpenVxDHandle(it->second, &v) < 0) {
      return std::nullopt;
    }
    std::snprintf(bytes, sizeof bytes, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF,
                  (v >> 16) & 0xFF, v >> 24);
    hex += bytes;
    text.remove_prefix(close + 1);
  }
  return ParseHexBytes(hex);
}

// An event of the console's own (synchronization: each wait takes one signal), for a
// block-mode START to name as "<e<N>>" in its input.
Reply ConsoleSession::Impl::EventNew(const Args&) {
  sim::nt::Handle event = 0;
  int32_t status = sim::nt::CreateEvent(false, false, &event);
  if (status < 0) return Reply::Fail("status=" + Status(status));
  uint32_t tag = nextEvent++;
  events[tag] = event;
  return Reply::Ok("e" + std::to_string(tag));
}

Reply ConsoleSession::Impl::EventWait(const Args& args) {
  auto tag = ParseTagged(args[0], 'e');
  auto it = tag ? events.find(*tag) : events.end();
  if (it == events.end()) return Reply::Fail("unknown event '" + std::string(args[0]) + "'");
  int64_t limit = options.waitLimit.count();
  if (args.size() > 1) {
    auto ms = ParseNumber(args[1]);
    if (!ms || *ms > INT32_MAX) return Reply::Fail("usage: event_wait e<N> [MS]");
    limit = static_cast<int64_t>(*ms);
  }
  if (sim::nt::WaitForSingleObject(it->second, limit) != kStatusSuccess) {
    return Reply::Fail("timeout");
  }
  return Reply::Ok();
}

Reply ConsoleSession::Impl::Cancel(const Args& args) {
  if (auto file = FindHandle(args[0])) {
    return Reply::Ok("status=" + Status(sim::nt::CancelIoFile(*file, false, nullptr)));
  }
  if (Request* request = FindRequest(args[0])) {
    if (handles.count(request->handleTag) == 0) return Reply::Fail("its handle is closed");
    return Reply::Ok("status=" + Status(sim::nt::CancelIoFile(request->file, true, &request->iosb)));
  }
  return Reply::Fail("unknown handle or request '" + std::string(args[0]) + "'");
}

Reply ConsoleSession::Impl::LastError(const Args& args) {
  sim::nt::Handle file = 0;
  bool temporary = args.empty();
  if (temporary) {
    int32_t status = sim::nt::CreateFile(kDevicePath, false, &file);
    if (status < 0) return Reply::Fail("open status=" + Status(status));
  } else {
    auto found = FindHandle(args[0]);
    if (!found) return Reply::Fail("unknown handle '" + std::string(args[0]) + "'");
    file = *found;
  }
  uint32_t code = 0;
  sim::nt::Handle event = 0;
  sim::nt::CreateEvent(true, false, &event);
  sim::nt::IoStatus iosb{};
  int32_t status = sim::nt::DeviceIoControlFile(file, event, &iosb, IOCTL_DAQ_GET_LAST_ERROR,
                                                nullptr, 0, &code, sizeof code);
  if (status == kStatusPending) {
    sim::nt::WaitForSingleObject(event, -1);
    status = iosb.status;
  }
  sim::nt::Close(event);
  if (temporary) sim::nt::Close(file);
  if (status < 0) return Reply::Fail("status=" + Status(status));
  const char* name = DaqLastErrorName(code);
  return Reply::Ok(std::to_string(code) + " " + (name != nullptr ? name : "unknown"));
}

}  // namespace tarvik::console
