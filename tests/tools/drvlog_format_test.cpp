// The line drvlog prints for a record of the driver's memory log.
#include "drvlog_format.h"

#include <gtest/gtest.h>

namespace {

drvlog::Record record(std::u16string source, std::u16string message)
{
    drvlog::Record r;
    r.time.Year = 2026;
    r.time.Month = 12;
    r.time.Day = 9;
    r.time.Hour = 9;
    r.time.Minute = 41;
    r.time.Second = 7;
    r.time.Milliseconds = 123;
    r.level = KLOG_LEVEL_ERROR;
    r.process = "System";
    r.process_id = 4;
    r.thread_id = 12;
    r.sequence = 3;
    r.source = std::move(source);
    r.message = std::move(message);
    return r;
}

// The terminal gets valid UTF-8 only: pairs become four bytes, a lone surrogate U+FFFD.
TEST(DrvlogFormat, LineIsValidUtf8WithLoneSurrogatesReplaced)
{
    std::u16string message = u"[redav] \u4FDD \U0001D11E ";
    message += char16_t(0xDC00);
    message += u"x";
    message += char16_t(0xD800);
    EXPECT_EQ(drvlog::format_record(record(u"main.cpp|DriverEntry", message)),
              "2026-12-09 09:41:07.123 ERROR main.cpp|DriverEntry [System 4/12] #3 "
              "[redav] \xE4\xBF\x9D \xF0\x9D\x84\x9E \xEF\xBF\xBDx\xEF\xBF\xBD");
}

} // namespace
