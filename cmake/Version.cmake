# One version for the tool, the driver, their files and the packages: the one the tool prints
# (tools/version.h). Sets TARVIK_VERSION and its parts TARVIK_VERSION_MAJOR, _MINOR, _PATCH.
include_guard(GLOBAL)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../tools/version.h version_line REGEX "kToolVersion = ")
string(REGEX MATCH "([0-9]+)\\.([0-9]+)\\.([0-9]+)" TARVIK_VERSION "${version_line}")
set(TARVIK_VERSION_MAJOR ${CMAKE_MATCH_1})
set(TARVIK_VERSION_MINOR ${CMAKE_MATCH_2})
set(TARVIK_VERSION_PATCH ${CMAKE_MATCH_3})
# The date the INF's DriverVer carries with the version (month/day/year): the release's date.
set(TARVIK_DRIVER_DATE "12/09/2026")
