// The device command (IOCTL_DAQ_COMMAND): the driver picks the operation by the pair of buffer
// lengths, and for the 100-byte form by the buffer's first byte. The request is buffered, so
// the output overwrites the input: the sub-commands send and receive one buffer.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "control.h"
#include "tarvik/device.h"

namespace tarvik {
namespace {

CommandBuffer Buffer(uint8_t subCommand, std::initializer_list<uint8_t> bytes = {}) {
  CommandBuffer buffer{};
  buffer[0] = subCommand;
  size_t i = 1;
  for (uint8_t byte : bytes) buffer[i++] = byte;
  return buffer;
}

void CheckCount(const char* operation, size_t count, size_t limit) {
  if (count > limit) {
    throw std::out_of_range(std::string(operation) + ": " + std::to_string(count) +
                            " bytes, at most " + std::to_string(limit));
  }
}

uint16_t Word(const CommandBuffer& buffer, size_t at) {
  return static_cast<uint16_t>(buffer[at] | buffer[at + 1] << 8);
}

}  // namespace

uint32_t Device::Command(const char* operation, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength) {
  detail::Control(handle_, operation, IOCTL_DAQ_COMMAND, input, inputLength, output,
                  outputLength);
  return outputLength;
}

CommandBuffer Device::Sub(const char* operation, const CommandBuffer& buffer) {
  CommandBuffer result = buffer;
  Command(operation, buffer.data(), DAQ_SUBCOMMAND_LENGTH, result.data(), DAQ_SUBCOMMAND_LENGTH);
  return result;
}

BoardSummary Device::ReadBoardSummary() {
  BOARD_SUMMARY raw{};
  Command("read the board summary", nullptr, 0, &raw, sizeof raw);
  return {raw.BoardPort, raw.IrqLine, raw.FrameIntCount, raw.OtherIntCount};
}

ResourceSummary Device::ReadResourceSummary() {
  RESOURCE_SUMMARY raw{};
  Command("read the resource summary", nullptr, 0, &raw, sizeof raw);
  ResourceSummary summary;
  summary.portCount = raw.PortCount;
  summary.memoryCount = raw.MemCount;
  for (uint32_t i = 0; i < RESOURCE_SUMMARY_PORTS; ++i) {
    summary.ports[i] = {raw.Port[i].Base, raw.Port[i].Length, raw.Port[i].Mapped != 0};
  }
  return summary;
}

uint32_t Device::ReadRegister(uint16_t offset, RegisterWidth width) {
  REGISTER_OPERATION request{};
  request.WidthCode = static_cast<uint16_t>(width);
  request.Offset = offset;
  uint32_t value = 0;
  Command("read a card register", &request, DAQ_REGISTER_READ_INPUT, &value,
          DAQ_REGISTER_READ_OUTPUT);
  return value;
}

void Device::WriteRegister(uint16_t offset, RegisterWidth width, uint32_t value) {
  REGISTER_OPERATION request{};
  request.WidthCode = static_cast<uint16_t>(width);
  request.Offset = offset;
  switch (width) {
    case RegisterWidth::Byte: request.Value.Byte = static_cast<uint8_t>(value); break;
    case RegisterWidth::Word: request.Value.Word = static_cast<uint16_t>(value); break;
    default: request.Value.Dword = value; break;
  }
  uint8_t done = 0;
  Command("write a card register", &request, DAQ_REGISTER_WRITE_INPUT, &done,
          DAQ_REGISTER_WRITE_OUTPUT);
}

uint32_t Device::ReadBridgeRegister(uint8_t offset) {
  // The driver takes the offset as a signed byte; the bridge's registers lie at 0..127.
  if (offset > 127) throw std::out_of_range("read a bridge register: offset above 127");
  uint32_t value = 0;
  Command("read a bridge register", &offset, DAQ_BRIDGE_READ_INPUT, &value,
          DAQ_BRIDGE_READ_OUTPUT);
  return value;
}

CommandBuffer Device::SubCommand(const CommandBuffer& buffer) {
  return Sub("run a sub-command", buffer);
}

std::vector<uint8_t> Device::ReadSpan(int8_t offset, uint8_t count) {
  CheckCount("read registers", count, DAQ_SUBCOMMAND_LENGTH);
  CommandBuffer out =
      Sub("read registers", Buffer(SUB_READ_SPAN, {count, static_cast<uint8_t>(offset)}));
  return {out.begin(), out.begin() + count};
}

void Device::WriteSpan(int8_t offset, std::span<const uint8_t> data) {
  CheckCount("write registers", data.size(), DAQ_SUBCOMMAND_LENGTH - 3);
  CommandBuffer buffer = Buffer(
      SUB_WRITE_SPAN, {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset)});
  std::copy(data.begin(), data.end(), buffer.begin() + 3);
  Sub("write registers", buffer);
}

void Device::SetInput(uint8_t range, uint8_t channelCount, uint8_t channel) {
  Sub("set the input", Buffer(SUB_SET_INPUT, {range, channelCount, channel}));
}

Frame Device::ReadLastFrame() {
  CommandBuffer out = Sub("read the last frame", Buffer(SUB_GET_LAST_FRAME));
  Frame frame{};
  std::memcpy(frame.data(), out.data(), sizeof frame);
  return frame;
}

uint16_t Device::ReadConversion() {
  CommandBuffer out = Sub("read the conversion result", Buffer(SUB_READ_PAIR));
  return Word(out, 0);
}

uint16_t Device::ReadConversionAndClear() {
  CommandBuffer out = Sub("read and clear the conversion result", Buffer(SUB_READ_PAIR_CLEAR));
  return Word(out, 0);
}

void Device::SetRangeBits(uint8_t range) {
  Sub("set the range bits", Buffer(SUB_SET_RANGE_BITS, {range}));
}

void Device::SetChannelBits(uint8_t channel) {
  Sub("set the channel bits", Buffer(SUB_SET_CHANNEL_BITS, {channel}));
}

void Device::ClearConversion() { Sub("clear the conversion", Buffer(SUB_CLEAR)); }

std::array<uint8_t, 10> Device::ReadRegisterSnapshot() {
  CommandBuffer out = Sub("read the register snapshot", Buffer(SUB_READ_SNAPSHOT));
  std::array<uint8_t, 10> snapshot{};
  std::copy_n(out.begin(), snapshot.size(), snapshot.begin());
  return snapshot;
}

void Device::WriteIndexed(uint8_t index, uint8_t data) {
  Sub("write an indexed register", Buffer(SUB_WRITE_INDEXED, {index, data}));
}

void Device::Write12Bit(uint8_t selector, uint16_t value) {
  Sub("write a 12-bit value", Buffer(SUB_WRITE_12BIT, {selector, static_cast<uint8_t>(value),
                                                      static_cast<uint8_t>(value >> 8)}));
}

void Device::WriteControlPair(uint8_t reg, uint8_t control, uint8_t first, uint8_t second) {
  Sub("write a control pair", Buffer(SUB_WRITE_CONTROL_PAIR, {reg, control, first, second}));
}

void Device::WriteIndexedWords(uint16_t a, uint16_t b) {
  Sub("write indexed words",
      Buffer(SUB_WRITE_INDEXED_WORDS,
             {0, static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(b),
              static_cast<uint8_t>(b >> 8)}));
}

std::vector<uint8_t> Device::ReadRepeated(uint8_t offset, uint8_t count) {
  CheckCount("read a register repeatedly", count, DAQ_SUBCOMMAND_LENGTH);
  CommandBuffer out = Sub("read a register repeatedly", Buffer(SUB_READ_REPEAT, {count, offset}));
  return {out.begin(), out.begin() + count};
}

void Device::WriteRepeated(uint8_t offset, std::span<const uint8_t> data) {
  CheckCount("write a register repeatedly", data.size(), DAQ_SUBCOMMAND_LENGTH - 4);
  CommandBuffer buffer = Buffer(SUB_WRITE_REPEAT, {static_cast<uint8_t>(data.size()), offset});
  std::copy(data.begin(), data.end(), buffer.begin() + 4);
  Sub("write a register repeatedly", buffer);
}

uint16_t Device::ReadPortBase() {
  return Word(Sub("read the port base", Buffer(SUB_GET_PORT_BASE)), 0);
}

std::vector<uint8_t> Device::ReadIdentification(uint8_t count) {
  CheckCount("read the identification bytes", count, 64);
  CommandBuffer out = Sub("read the identification bytes", Buffer(SUB_READ_ID_BLOCK, {count}));
  return {out.begin(), out.begin() + count};
}

void Device::WriteIndexedBlock(uint8_t firstIndex, std::span<const uint8_t> data) {
  CheckCount("write indexed registers", data.size(), 64);
  CommandBuffer buffer =
      Buffer(SUB_WRITE_INDEXED_BLOCK, {static_cast<uint8_t>(data.size()), firstIndex});
  std::copy(data.begin(), data.end(), buffer.begin() + 4);
  Sub("write indexed registers", buffer);
}

void Device::WriteEepromPair(uint16_t first, uint16_t second) {
  CommandBuffer buffer = Buffer(SUB_WRITE_EEPROM_PAIR, {1});
  buffer[4] = static_cast<uint8_t>(first);
  buffer[5] = static_cast<uint8_t>(first >> 8);
  buffer[6] = static_cast<uint8_t>(second);
  buffer[7] = static_cast<uint8_t>(second >> 8);
  Sub("write the EEPROM pair", buffer);
}

void Device::EraseEepromPair() { Sub("erase the EEPROM pair", Buffer(SUB_WRITE_EEPROM_PAIR, {0})); }

std::array<uint16_t, 2> Device::ReadEepromPair() {
  CommandBuffer out = Sub("read the EEPROM pair", Buffer(SUB_READ_EEPROM_PAIR));
  return {Word(out, 0), Word(out, 2)};
}

bool Device::AcquisitionRunning() {
  return Sub("ask whether an acquisition runs", Buffer(SUB_GET_RUNNING))[0] != 0;
}

}  // namespace tarvik
