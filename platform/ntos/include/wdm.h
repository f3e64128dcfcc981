// Executive, kernel, I/O manager, object manager, process and runtime routines.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
