// Umbrella header of the kernel layer, as file-system and filter drivers include it.
#pragma once

#include "ntddk.h"
#include "ntzw.h"
