// The cost of computing run times: 50 runs of a mixed trigger set (weekly,
// monthly by weekday, monthly by date, daily with repetition, once), and of
// a sparse trigger whose runs lie years apart.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/service/schedule/schedule.h"

namespace svc = velqo::service;

namespace {

TASK_TRIGGER Trigger(TASK_TRIGGER_TYPE type, WORD hour, WORD minute) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = 2026;
    t.wBeginMonth = 1;
    t.wBeginDay = 1;
    t.wStartHour = hour;
    t.wStartMinute = minute;
    t.TriggerType = type;
    return t;
}

std::vector<TASK_TRIGGER> Mixed() {
    TASK_TRIGGER weekly = Trigger(TASK_TIME_TRIGGER_WEEKLY, 9, 30);
    weekly.Type.Weekly.WeeksInterval = 2;
    weekly.Type.Weekly.rgfDaysOfTheWeek = TASK_MONDAY | TASK_FRIDAY;
    TASK_TRIGGER dow = Trigger(TASK_TIME_TRIGGER_MONTHLYDOW, 17, 0);
    dow.Type.MonthlyDOW.wWhichWeek = TASK_LAST_WEEK;
    dow.Type.MonthlyDOW.rgfDaysOfTheWeek = TASK_FRIDAY;
    dow.Type.MonthlyDOW.rgfMonths = 0xFFF;
    TASK_TRIGGER date = Trigger(TASK_TIME_TRIGGER_MONTHLYDATE, 6, 0);
    date.Type.MonthlyDate.rgfDays = 1u | 1u << 14 | 1u << 30;
    date.Type.MonthlyDate.rgfMonths = 0xFFF;
    TASK_TRIGGER daily = Trigger(TASK_TIME_TRIGGER_DAILY, 22, 0);
    daily.Type.Daily.DaysInterval = 3;
    daily.MinutesInterval = 30;
    daily.MinutesDuration = 180;
    TASK_TRIGGER once = Trigger(TASK_TIME_TRIGGER_ONCE, 12, 0);
    once.wBeginMonth = 6;
    return {weekly, dow, date, daily, once};
}

void BM_RunTimes50Mixed(benchmark::State &state) {
    const auto triggers = Mixed();
    SYSTEMTIME from{};
    from.wYear = 2026;
    from.wMonth = 3;
    from.wDay = 15;
    std::vector<SYSTEMTIME> out;
    for (auto _ : state) {
        if (svc::RunTimes(triggers, 0, from, nullptr, 50, out) != S_OK) state.SkipWithError("fewer runs than asked");
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_RunTimes50Mixed);

// 29 February only: 50 runs span two centuries.
void BM_RunTimes50LeapDays(benchmark::State &state) {
    TASK_TRIGGER t = Trigger(TASK_TIME_TRIGGER_MONTHLYDATE, 6, 0);
    t.Type.MonthlyDate.rgfDays = 1u << 28;
    t.Type.MonthlyDate.rgfMonths = TASK_FEBRUARY;
    const std::vector<TASK_TRIGGER> triggers{t};
    SYSTEMTIME from{};
    from.wYear = 2026;
    from.wMonth = 1;
    from.wDay = 1;
    std::vector<SYSTEMTIME> out;
    for (auto _ : state) {
        if (svc::RunTimes(triggers, 0, from, nullptr, 50, out) != S_OK) state.SkipWithError("fewer runs than asked");
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_RunTimes50LeapDays);

}  // namespace

BENCHMARK_MAIN();
