// The system utilities shared by the manager and the updater, in one include.
#pragma once

#include "common/os_version.h"
#include "common/sys_utils.h"
#include "common/text_compare.h"
#include "common/text_encoding.h"
#include "common/text_format.h"
#include "common/text_numbers.h"
