// GetLastError/SetLastError and the version and tick calls.
#pragma once

#include "windef.h"
