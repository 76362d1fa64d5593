#pragma once
#include <ctime>

// Local wall-clock time, as the program stamps its lines with it.
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

inline LocalTime FromTm(const std::tm& t) {
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

inline LocalTime NowLocal() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return FromTm(t);
}
