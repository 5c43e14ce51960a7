/* Wall-clock times for tests of time windows, whatever the machine's time
 * zone: the weekday follows from the date. */
#ifndef TESTS_MSNP_LOCAL_TIME_H
#define TESTS_MSNP_LOCAL_TIME_H

#include <time.h>

inline time_t local_time(int year, int month, int day, int hour, int minute, int second = 0)
{
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

#endif
