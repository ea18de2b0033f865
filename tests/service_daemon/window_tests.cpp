// When a trigger's repetition window ends a run it started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/service/control/control.h"

namespace {

// Fixed UTC for the duration of a test, so days have 24 hours.
class Window : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *tz = std::getenv("TZ")) saved_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        (void)(saved_ ? setenv("TZ", saved_->c_str(), 1) : unsetenv("TZ"));
        tzset();
    }
    static long long At(int day, int hour, int minute) {
        tm t{0, minute, hour, day, 11, 2026 - 1900, 0, 0, 0, 0, nullptr};
        return timegm(&t);
    }
    std::optional<std::string> saved_;
};

TASK_TRIGGER Trigger(WORD hour, WORD minute, DWORD duration, DWORD flags) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t, t.TriggerType = TASK_TIME_TRIGGER_DAILY, t.rgFlags = flags;
    t.wBeginYear = 2026, t.wBeginMonth = 12, t.wBeginDay = 1, t.wStartHour = hour, t.wStartMinute = minute;
    t.MinutesDuration = duration, t.MinutesInterval = duration ? 1 : 0;
    return t;
}

// Rows: the trigger's window and flag, when it fired, and the end (-1: none).
TEST_F(Window, EndIsTheWindowsOpeningPlusItsDurationWhenAskedFor) {
    constexpr DWORD kKill = TASK_TRIGGER_FLAG_KILL_AT_DURATION_END;
    struct Case {
        WORD hour, minute;
        DWORD duration, flags;
        long long fired, end;
    };
    const Case cases[] = {
        {9, 0, 60, 0, At(6, 9, 30), -1},                   // not asked for
        {9, 0, 0, kKill, At(6, 9, 30), -1},                // no window
        {9, 0, 60, kKill, At(6, 9, 30), At(6, 10, 0)},     // within today's window
        {9, 0, 60, kKill, At(6, 9, 0), At(6, 10, 0)},      // at its opening
        {9, 15, 1, kKill, At(6, 9, 15), At(6, 9, 16)},     // a one-minute window
        {23, 30, 120, kKill, At(7, 0, 30), At(7, 1, 30)},  // a window across midnight
        {9, 0, 1500, kKill, At(7, 8, 59), At(7, 10, 0)},   // a window over a day long, opened yesterday
    };
    for (const auto &c : cases) {
        long long end = -1;
        EXPECT_EQ(velqo::service::RepetitionWindowEnd(Trigger(c.hour, c.minute, c.duration, c.flags), c.fired, &end),
                  c.end != -1);
        EXPECT_EQ(end, c.end) << c.hour << ":" << c.minute << " for " << c.duration;
    }
    EXPECT_FALSE(velqo::service::RepetitionWindowEnd(Trigger(9, 0, 60, kKill), At(6, 9, 30), nullptr));
}

}  // namespace
