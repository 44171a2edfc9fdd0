/*
 * Vendor settings of a port: their defaults, the two-wire probe, and the
 * port's record of the settings file shared by every port of the machine.
 */
#include "../frame/driver.h"

VOID LoadSettingsDefaults(PDEVICE_EXTENSION Port) { UNREFERENCED_PARAMETER(Port); }
VOID ProbeTwoWireDevice(PDEVICE_EXTENSION Port) { UNREFERENCED_PARAMETER(Port); }
NTSTATUS ReadSettingsFile(PDEVICE_EXTENSION Port) { UNREFERENCED_PARAMETER(Port); return STATUS_NOT_IMPLEMENTED; }
