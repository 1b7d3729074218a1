# The card's PCI identity: what the bridge loads from the card's configuration EEPROM at
# power-up, what the emulated PCI bus reports in its hardware IDs, and what tarvik.inf matches.
#
# A maker with its own PCI-SIG vendor ID builds with its IDs, for example
#   cmake -DTARVIK_PCI_VENDOR_ID=1234 -DTARVIK_PCI_DEVICE_ID=5678 ...
# and programs the same words into its cards' EEPROMs.
#
# The defaults are the project's own: vendor DA7A is assigned to no one. It is in neither the
# PCI-SIG's assignments nor the PCI ID repository (Debian's pci.ids, 2023.04.10, lists it
# neither as a vendor nor as a subsystem vendor), and the hardware ID the INF matches carries
# the subsystem pair as well (DA7A:0001), so a product of another maker would have to use an
# unassigned vendor ID under both fields to be taken for the card. The two values the
# platform forbids (0000, which bus scans take for an empty slot, and FFFF, which is what an
# empty slot reads) are refused here.
#
# Sets TARVIK_PCI_HARDWARE_ID (the most specific hardware ID without revision, the form the
# INF matches), writes <build>/generated/tarvik_pci_ids.h for the emulated card and bus, and
# <build>/windows/tarvik.inf (TARVIK_INF_FILE) from windows/tarvik.inf.in.

include_guard(GLOBAL)

set(TARVIK_PCI_VENDOR_ID "DA7A" CACHE STRING "PCI vendor ID of the card (4 hex digits)")
set(TARVIK_PCI_DEVICE_ID "0001" CACHE STRING "PCI device ID of the card (4 hex digits)")
set(TARVIK_PCI_SUBSYSTEM_VENDOR_ID "DA7A" CACHE STRING
    "PCI subsystem vendor ID of the card (4 hex digits)")
set(TARVIK_PCI_SUBSYSTEM_ID "0001" CACHE STRING "PCI subsystem ID of the card (4 hex digits)")
set(TARVIK_PCI_REVISION "01" CACHE STRING "PCI revision ID of the card (2 hex digits)")
# Data acquisition and signal processing controller (11h), other (80h), interface 00h.
set(TARVIK_PCI_CLASS_CODE "118000" CACHE STRING "PCI class code of the card (6 hex digits)")

function(_tarvik_pci_id variable digits)
    string(TOUPPER "${${variable}}" value)
    if(NOT value MATCHES "^[0-9A-F]+$")
        message(FATAL_ERROR "${variable} must be ${digits} hexadecimal digits, got '${value}'")
    endif()
    string(LENGTH "${value}" length)
    if(NOT length EQUAL digits)
        message(FATAL_ERROR "${variable} must be ${digits} hexadecimal digits, got '${value}'")
    endif()
    set(${variable}_HEX "${value}" PARENT_SCOPE)
endfunction()

foreach(spec VENDOR_ID:4 DEVICE_ID:4 SUBSYSTEM_VENDOR_ID:4 SUBSYSTEM_ID:4 REVISION:2 CLASS_CODE:6)
    string(REPLACE ":" ";" spec "${spec}")
    list(GET spec 0 name)
    list(GET spec 1 digits)
    _tarvik_pci_id(TARVIK_PCI_${name} ${digits})
endforeach()
foreach(vendor TARVIK_PCI_VENDOR_ID_HEX TARVIK_PCI_SUBSYSTEM_VENDOR_ID_HEX)
    if(${vendor} STREQUAL "0000" OR ${vendor} STREQUAL "FFFF")
        message(FATAL_ERROR "${vendor}: 0000 and FFFF are not vendor IDs a card can carry")
    endif()
endforeach()

set(TARVIK_PCI_HARDWARE_ID
    "PCI\\VEN_${TARVIK_PCI_VENDOR_ID_HEX}&DEV_${TARVIK_PCI_DEVICE_ID_HEX}&SUBSYS_${TARVIK_PCI_SUBSYSTEM_ID_HEX}${TARVIK_PCI_SUBSYSTEM_VENDOR_ID_HEX}")

include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)
set(TARVIK_GENERATED_INCLUDE_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_LIST_DIR}/tarvik_pci_ids.h.in"
    "${TARVIK_GENERATED_INCLUDE_DIR}/tarvik_pci_ids.h" @ONLY)

set(TARVIK_INF_FILE "${CMAKE_BINARY_DIR}/windows/tarvik.inf")
configure_file("${CMAKE_CURRENT_LIST_DIR}/../windows/tarvik.inf.in" "${TARVIK_INF_FILE}" @ONLY
    NEWLINE_STYLE CRLF)
