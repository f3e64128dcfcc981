// Standard initial Blowfish tables, copied into every context by the key expansion.
#pragma once

#include "algorithm_blowfish.h"

extern const ULONG g_BlowFishInitP[BLOWFISH_P_WORDS];
extern const ULONG g_BlowFishInitS[BLOWFISH_S_BOXES][BLOWFISH_S_WORDS];
