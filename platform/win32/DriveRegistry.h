#pragma once
// Internal to the Windows platform layer: the drive registry, whose handles
// hold a "\\.\X:" HANDLE's value.

#include "platform/common/DriveRegistry.h"
#include "platform/win32/WinApi.h"
