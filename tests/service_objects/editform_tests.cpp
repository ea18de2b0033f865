// The text form of EditWorkItem: what the writer produces parses back to the
// same item, edits are applied, and broken forms are refused with a reason.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/service/objects/objects_internal.h"

namespace {

using velqo::service::EditForm;
using velqo::service::JobData;
using velqo::service::ParseEditForm;
using velqo::service::WriteEditForm;

TASK_TRIGGER Base(TASK_TRIGGER_TYPE type) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = 2026;
    t.wBeginMonth = 12;
    t.wBeginDay = 6;
    t.wStartHour = 23;
    t.wStartMinute = 5;
    t.TriggerType = type;
    return t;
}

JobData Sample() {
    JobData job = velqo::service::NewJob();
    job.application = u"/bin/echo";
    job.parameters = u"a \"b c\"";
    job.workingDirectory = u"/tmp";
    job.comment = u"caf\u00e9";
    job.creator = u"me";
    job.priority = IDLE_PRIORITY_CLASS;
    job.maxRunTime = 0xFFFFFFFF;
    job.idleWait = 3;
    job.idleDeadline = 4;
    job.flags = TASK_FLAG_HIDDEN;
    job.taskFlags = 0xABCD;
    TASK_TRIGGER daily = Base(TASK_TIME_TRIGGER_DAILY);
    daily.Type.Daily.DaysInterval = 2;
    daily.MinutesDuration = 60;
    daily.MinutesInterval = 15;
    TASK_TRIGGER weekly = Base(TASK_TIME_TRIGGER_WEEKLY);
    weekly.Type.Weekly.WeeksInterval = 3;
    weekly.Type.Weekly.rgfDaysOfTheWeek = TASK_SUNDAY | TASK_SATURDAY;
    weekly.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_DISABLED;
    weekly.wEndYear = 2027;
    weekly.wEndMonth = 1;
    weekly.wEndDay = 31;
    TASK_TRIGGER monthly = Base(TASK_TIME_TRIGGER_MONTHLYDATE);
    monthly.Type.MonthlyDate.rgfDays = 1u << 30;
    monthly.Type.MonthlyDate.rgfMonths = TASK_JANUARY | TASK_DECEMBER;
    TASK_TRIGGER dow = Base(TASK_TIME_TRIGGER_MONTHLYDOW);
    dow.Type.MonthlyDOW.wWhichWeek = TASK_LAST_WEEK;
    dow.Type.MonthlyDOW.rgfDaysOfTheWeek = TASK_FRIDAY;
    dow.Type.MonthlyDOW.rgfMonths = 0xFFF;
    dow.wRandomMinutesInterval = 9;
    job.triggers = {daily, weekly, monthly, dow, Base(TASK_TIME_TRIGGER_ONCE), Base(TASK_EVENT_TRIGGER_AT_LOGON)};
    return job;
}

TEST(EditFormTest, WrittenFormParsesBackToTheSameItem) {
    const JobData job = Sample();
    const std::u16string account = u"backup-user";
    const std::string text = WriteEditForm(job, &account);
    EXPECT_EQ(text.find("\nPassword:"), std::string::npos);  // never shown
    EditForm form;
    form.job = velqo::service::NewJob();  // start from other values: all must be overwritten
    std::string error;
    ASSERT_TRUE(ParseEditForm(text, form, error)) << error;
    EXPECT_EQ(form.job.application, job.application);
    EXPECT_EQ(form.job.parameters, job.parameters);
    EXPECT_EQ(form.job.workingDirectory, job.workingDirectory);
    EXPECT_EQ(form.job.comment, job.comment);
    EXPECT_EQ(form.job.creator, job.creator);
    EXPECT_EQ(form.job.priority, job.priority);
    EXPECT_EQ(form.job.maxRunTime, job.maxRunTime);
    EXPECT_EQ(form.job.idleWait, job.idleWait);
    EXPECT_EQ(form.job.idleDeadline, job.idleDeadline);
    EXPECT_EQ(form.job.flags, job.flags);
    EXPECT_EQ(form.job.taskFlags, job.taskFlags);
    EXPECT_EQ(form.account, account);
    EXPECT_FALSE(form.passwordSet);
    EXPECT_FALSE(form.save);
    ASSERT_EQ(form.job.triggers.size(), job.triggers.size());
    for (std::size_t i = 0; i < job.triggers.size(); ++i) {
        SCOPED_TRACE(i);
        const TASK_TRIGGER &a = job.triggers[i], &b = form.job.triggers[i];
        EXPECT_EQ(a.TriggerType, b.TriggerType);
        EXPECT_EQ(std::memcmp(&a.wBeginYear, &b.wBeginYear, 32), 0);  // dates, times, durations, flags
        EXPECT_EQ(std::memcmp(&a.Type, &b.Type, sizeof a.Type), 0);
        EXPECT_EQ(a.wRandomMinutesInterval, b.wRandomMinutesInterval);
    }
}

TEST(EditFormTest, EditsAreApplied) {
    EditForm form;
    form.job = Sample();
    std::string error;
    ASSERT_TRUE(ParseEditForm("# comment\n\nComment:  new text \nPassword: s3cret\nPriority: realtime\n"
                              "MaxRunTime: 5000\nSave: yes\nTrigger: startup begin=2026-01-02 start=00:00\n",
                              form, error))
        << error;
    EXPECT_EQ(form.job.comment, u"new text");
    EXPECT_EQ(form.job.application, u"/bin/echo");  // absent lines keep their value
    EXPECT_TRUE(form.passwordSet);
    EXPECT_EQ(form.password, u"s3cret");
    EXPECT_EQ(form.job.priority, static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(form.job.maxRunTime, 5000u);
    EXPECT_TRUE(form.save);
    ASSERT_EQ(form.job.triggers.size(), 1u);  // the trigger lines replace the list
    EXPECT_EQ(form.job.triggers[0].TriggerType, TASK_EVENT_TRIGGER_AT_SYSTEMSTART);
}

TEST(EditFormTest, BrokenFormsAreRefusedWithAReason) {
    struct Case {
        const char *text;
        const char *reason;
    };
    const Case cases[] = {
        {"no colon here\n", "line 1"},
        {"Colour: blue\n", "unknown setting"},
        {"\nPriority: urgent\n", "line 2"},
        {"MaxRunTime: 0\n", "MaxRunTime"},
        {"MaxRunTime: -5\n", "MaxRunTime"},
        {"IdleWait: 70000\n", "IdleWait"},
        {"Flags: 0x1G\n", "Flags"},
        {"Save: maybe\n", "Save"},
        {"Trigger: hourly begin=2026-01-01\n", "unknown trigger type"},
        {"Trigger: daily start=10:00\n", "begin"},
        {"Trigger: daily begin=2026-13-01 start=10:00\n", "not a valid"},
        {"Trigger: daily begin=2026-01-01 start=25:00\n", "not a valid"},
        {"Trigger: weekly begin=2026-01-01 days=3\n", "unknown trigger field"},
        {"Trigger: daily begin=2026-01-01 duration=5 interval=10\n", "not a valid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EditForm form;
        form.job = Sample();
        std::string error;
        EXPECT_FALSE(ParseEditForm(c.text, form, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

}  // namespace
