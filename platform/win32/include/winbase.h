// Files, drives, handles and devices.
#pragma once

#include "windef.h"
