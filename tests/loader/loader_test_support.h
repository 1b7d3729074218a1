// What the loader's suites share: the test images, a booted kernel, and a table binding every
// emulated export to a stand-in address below 4 GiB (enough to map an image on any host).
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/driver_loader.h"
#include "sim/kernel.h"
#include "sim/kernel_exports.h"
#include "sim/verifier.h"

namespace loader_test {

inline std::string StubImage(const std::string& file) {
  return std::string(TARVIK_STUB_IMAGES) + "/" + file;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline sim::loader::ExportTable StandInExports() {
  sim::loader::ExportTable table;
  uintptr_t address = 0x10000;
  for (const std::string& name : sim::loader::KernelExportNames()) {
    auto bang = name.find('!');
    table.Add(name.substr(0, bang), name.substr(bang + 1), address += 16);
  }
  return table;
}

inline std::vector<std::string> TakeRules() {
  std::vector<std::string> rules;
  for (const auto& v : sim::verifier::TakeViolations()) rules.push_back(v.rule);
  return rules;
}

inline bool Reported(const std::vector<sim::verifier::Violation>& violations,
                     const std::string& rule, const std::string& naming) {
  return std::any_of(violations.begin(), violations.end(), [&](const auto& v) {
    return v.rule == rule && v.message.find(naming) != std::string::npos;
  });
}

class BootedKernel : public testing::Test {
 protected:
  void SetUp() override { sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110); }
  void TearDown() override { sim::kernel::Shutdown(); }
};

}  // namespace loader_test
