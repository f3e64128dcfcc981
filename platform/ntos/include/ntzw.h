// Zw file and registry services and client security.
#pragma once

#include "wdm.h"
