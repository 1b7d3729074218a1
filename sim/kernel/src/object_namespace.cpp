// Object namespace: named device objects under \Device and symbolic links under \DosDevices
// (the same directory as \??). Names compare without regard to case, as on the platform.
#include <map>
#include <mutex>

#include "kernel_internal.h"

namespace sim::kernel {
namespace {

struct Entry {
  PDEVICE_OBJECT Device = nullptr;  // a device object, or
  std::u16string LinkTarget;        // a symbolic link's target name
};

std::mutex g_namespaceLock;
std::map<std::u16string, Entry> g_names;  // keyed by the canonical upper-case name

// Canonical form: \DosDevices\X and \??\X are one name. Returns false for a name whose
// directory does not exist or whose last component is empty.
bool Canonical(std::u16string_view name, std::u16string* out, NTSTATUS* error) {
  std::u16string upper = UpperCase(name);
  static const std::u16string kDirectories[][2] = {
      {u"\\DEVICE\\", u"\\DEVICE\\"},
      {u"\\DOSDEVICES\\", u"\\??\\"},
      {u"\\??\\", u"\\??\\"},
      {u"\\GLOBAL??\\", u"\\??\\"},
  };
  for (const auto& [prefix, canonical] : kDirectories) {
    if (upper.compare(0, prefix.size(), prefix) != 0) continue;
    std::u16string leaf = upper.substr(prefix.size());
    if (leaf.empty() || leaf.find(u'\\') != std::u16string::npos) {
      *error = STATUS_OBJECT_NAME_INVALID;
      return false;
    }
    *out = canonical + leaf;
    return true;
  }
  *error = STATUS_OBJECT_PATH_NOT_FOUND;
  return false;
}

}  // namespace

void ResetNamespace() {
  std::lock_guard guard(g_namespaceLock);
  g_names.clear();
}

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device) {
  std::u16string key;
  NTSTATUS error;
  if (!Canonical(name, &key, &error)) return error;
  std::lock_guard guard(g_namespaceLock);
  if (!g_names.emplace(key, Entry{device, {}}).second) return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

void RemoveDeviceName(std::u16string_view name) {
  std::u16string key;
  NTSTATUS error;
  if (!Canonical(name, &key, &error)) return;
  std::lock_guard guard(g_namespaceLock);
  g_names.erase(key);
}

PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name) {
  // The namespace lock keeps the device from being deleted between lookup and reference:
  // IoDeleteDevice removes the name before the device can be freed.
  std::u16string key;
  NTSTATUS error;
  if (!Canonical(name, &key, &error)) return nullptr;
  std::lock_guard guard(g_namespaceLock);
  for (int hops = 0; hops < 8; ++hops) {
    auto it = g_names.find(key);
    if (it == g_names.end()) return nullptr;
    if (it->second.Device != nullptr) {
      return ReferenceDevice(it->second.Device) ? it->second.Device : nullptr;
    }
    if (!Canonical(it->second.LinkTarget, &key, &error)) return nullptr;
  }
  return nullptr;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
  EnterService("IoCreateSymbolicLink");
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink")) return STATUS_INVALID_PARAMETER;
  std::u16string key;
  NTSTATUS error;
  if (!Canonical(ToU16(SymbolicLinkName), &key, &error)) return error;
  std::lock_guard guard(g_namespaceLock);
  if (!g_names.emplace(key, Entry{nullptr, ToU16(DeviceName)}).second) {
    return STATUS_OBJECT_NAME_COLLISION;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  EnterService("IoDeleteSymbolicLink");
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink")) return STATUS_INVALID_PARAMETER;
  std::u16string key;
  NTSTATUS error;
  if (!Canonical(ToU16(SymbolicLinkName), &key, &error)) return error;
  std::lock_guard guard(g_namespaceLock);
  auto it = g_names.find(key);
  if (it == g_names.end() || it->second.Device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_names.erase(it);
  return STATUS_SUCCESS;
}
