#include "compose/date_line.h"

#include "frame/log.h"
#include "platform/platform.h"

namespace zem {

int32_t FormatDateLine(char *buf, int32_t size) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    LocalTime t = GetLocalTime();
    // The hour has two digits (RFC 5322 section 3.3), like the minute and the second.
    char minute[4], second[4], zone[8];
    FormatText(minute, sizeof minute, t.minute < 10 ? "0%d" : "%d", t.minute);
    FormatText(second, sizeof second, t.second < 10 ? "0%d" : "%d", t.second);
    // The zone keeps its minutes: five and a half hours east of UTC is +0530.
    int32_t off = t.utcOffsetMinutes;
    int32_t mag = off < 0 ? -off : off;
    FormatText(zone, sizeof zone, "%c%02d%02d", off >= 0 ? '+' : '-', static_cast<int>(mag / 60 % 100),
               static_cast<int>(mag % 60));
    return FormatText(buf, size, "Date: %s, %1d %s %d %02d:%s:%s %s", kDays[t.weekday % 7], t.day,
                      kMonths[(t.month + 11) % 12], t.year, t.hour, minute, second, zone);
}

} // namespace zem
