// Numbers to text and back, in the printf and scanf forms named beside each routine.
#pragma once

#include <stdint.h>
#include <string>
#include <string_view>

// Parsing as scanf reads the form: leading blanks, an optional sign, then digits up to the first
// character that is not one; "%X" also takes an optional "0x" or "0X" and, like strtoul, a minus
// sign negates modulo the width. Null, empty or unparsable text gives 0. Out-of-range values
// clamp to the limits of the result type ("%X" forms to their maximum).
int32_t TextToInt(const char16_t* text); // "%d"
int32_t TextToInt(std::u16string_view text);
uint32_t HexTextToInt(const char16_t* text); // "%X"
uint32_t HexTextToInt(std::u16string_view text);
int64_t TextToInt64(const char16_t* text); // "%I64d"
int64_t TextToInt64(std::u16string_view text);
uint64_t HexTextToInt64(const char16_t* text); // "%I64X"
uint64_t HexTextToInt64(std::u16string_view text);

std::u16string IntToText(int32_t value);                                // "%d"
std::u16string IntToHexText(uint32_t value, bool withPrefix = false);   // "%X", "0x%X"
std::u16string Int64ToText(int64_t value);                              // "%I64d"
std::u16string Int64ToHexText(uint64_t value, bool withPrefix = false); // "%I64X", "0x%I64X"
