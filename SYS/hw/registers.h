// The card's and the bridge's registers as the driver uses them: offsets from BoardPort
// (card, byte registers) and from BridgePort (bridge, 32-bit registers), and their bits.
#pragma once

#include "platform.h"

// Bridge local configuration registers, 32 bits, always read-modify-write.
constexpr ULONG BRIDGE_INTERRUPT_CONTROL = 0x4C;  // interrupt control/status
constexpr ULONG BRIDGE_CONTROL = 0x50;            // control: EEPROM lines on bits 24..27

// What a bridge register reads when nothing answers: a card pulled from its slot, or one that
// stopped decoding I/O (powered down to D3). Neither register the driver uses ever holds it:
// their reserved high bits read 0. A value derived from it is never written back.
constexpr ULONG BRIDGE_ABSENT = 0xFFFFFFFF;
inline bool BridgeAbsent(ULONG Value) { return Value == BRIDGE_ABSENT; }

// Interrupt control/status bits.
constexpr ULONG INTCSR_LINT1_ENABLE = 0x001;
constexpr ULONG INTCSR_LINT1_ACTIVE_HIGH = 0x002;
constexpr ULONG INTCSR_LINT1_ACTIVE = 0x004;        // status
constexpr ULONG INTCSR_LINT2_ENABLE = 0x008;
constexpr ULONG INTCSR_LINT2_ACTIVE_HIGH = 0x010;
constexpr ULONG INTCSR_LINT2_ACTIVE = 0x020;        // status
constexpr ULONG INTCSR_PCI_INTERRUPT_ENABLE = 0x040;
constexpr ULONG INTCSR_LINT1_EDGE_TRIGGERED = 0x100;
constexpr ULONG INTCSR_LINT2_EDGE_TRIGGERED = 0x200;
constexpr ULONG INTCSR_LINT1_EDGE_CLEAR = 0x400;    // write 1
constexpr ULONG INTCSR_LINT2_EDGE_CLEAR = 0x800;    // write 1
// DisableBridgeInterrupt keeps these low-byte bits and clears both local enables and the PCI
// interrupt enable; bits 8..31 stay as read.
constexpr ULONG INTCSR_DISABLE_KEEP = 0xFFFFFFB6;

// Control register: the serial EEPROM's lines.
constexpr ULONG EEPROM_CLOCK = 0x01000000;
constexpr ULONG EEPROM_SELECT = 0x02000000;
constexpr ULONG EEPROM_DATA_IN = 0x04000000;   // driver to EEPROM
constexpr ULONG EEPROM_DATA_OUT = 0x08000000;  // EEPROM to driver, read only
constexpr ULONG EEPROM_LINES = EEPROM_CLOCK | EEPROM_SELECT | EEPROM_DATA_IN | EEPROM_DATA_OUT;

// Card registers, one byte wide. Written and read meanings differ at most offsets.
constexpr ULONG CARD_INDEX = 0x00;         // w: internal register index; r: identification byte
constexpr ULONG CARD_ID_SELECT = 0x01;     // w: identification index;     r: frame word 0 low
constexpr ULONG CARD_DATA = 0x02;          // w: internal register data;   r: frame word 0 high
constexpr ULONG CARD_CONTROL = 0x03;       // w: control byte;             r: frame word 1 low
constexpr ULONG CARD_FRAME1_HIGH = 0x04;   // r: frame word 1 high
constexpr ULONG CARD_RESULT_LOW = 0x05;    // r: conversion result bits 0..7
constexpr ULONG CARD_RESULT_HIGH = 0x06;   // r: conversion result bits 8..11 (low nibble)
constexpr ULONG CARD_COUNTER0 = 0x07;
constexpr ULONG CARD_STROBE = 0x08;        // w: strobe 0x00 then 0x01;    r: counter 1
constexpr ULONG CARD_MUX = 0x09;           // w: strobe A / multiplexer and range; r: counter 2
constexpr ULONG CARD_STROBE_B = 0x0A;      // w: strobe B;                 r: counter 3
constexpr ULONG CARD_COUNTER5 = 0x0B;
constexpr ULONG CARD_FRAME8_LOW = 0x0C;
constexpr ULONG CARD_FRAME8_HIGH = 0x0D;
constexpr ULONG CARD_FRAME9 = 0x0E;
constexpr ULONG CARD_AUXILIARY = 0x0F;
constexpr ULONG CARD_WINDOW_LENGTH = 64;

// Internal registers reached through CARD_INDEX and CARD_DATA.
constexpr UCHAR CARD_INTERNAL_CLOCK_CONTROL = 0xAA;
constexpr UCHAR CARD_INTERNAL_DIVISOR_LOW = 0x02;
constexpr UCHAR CARD_INTERNAL_DIVISOR_HIGH = 0x03;
constexpr UCHAR CARD_CLOCK_STOP = 0x00;
constexpr UCHAR CARD_CLOCK_RUN = 0x01;
constexpr ULONG CARD_BASE_CLOCK_HZ = 12000000;
constexpr USHORT CARD_GOOD_ID_BYTE4 = 9;  // identification byte 4 of a working board
// Every identification byte reads this when no card answers in the window.
constexpr USHORT CARD_ABSENT_ID_BYTE = 0xFF;

// Port addresses from a base and an offset, in the form the HAL's routines take.
inline PUCHAR PortByte(ULONG_PTR Base, ULONG Offset) {
  return reinterpret_cast<PUCHAR>(Base + Offset);
}
inline PULONG PortDword(ULONG_PTR Base, ULONG Offset) {
  return reinterpret_cast<PULONG>(Base + Offset);
}

// One port access of 1, 2 or 4 bytes (any other width is taken as 4).
inline ULONG ReadPortOfWidth(ULONG_PTR Port, ULONG Width) {
  switch (Width) {
    case 1: return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(Port));
    case 2: return READ_PORT_USHORT(reinterpret_cast<PUSHORT>(Port));
    default: return READ_PORT_ULONG(reinterpret_cast<PULONG>(Port));
  }
}
inline void WritePortOfWidth(ULONG_PTR Port, ULONG Width, ULONG Value) {
  switch (Width) {
    case 1: WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(Port), static_cast<UCHAR>(Value)); break;
    case 2: WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(Port), static_cast<USHORT>(Value)); break;
    default: WRITE_PORT_ULONG(reinterpret_cast<PULONG>(Port), Value); break;
  }
}
