// The common jobs of a script in JScript, late-bound through
// TaskScheduler.Scheduler: list the tasks, add a weekly task, change its
// trigger, read next week's run times, store and read the private data, then
// remove the task again.
//   cscript //nologo tasks.js
var TASK_TIME_TRIGGER_WEEKLY = 2, TASK_MONDAY = 2, TASK_FRIDAY = 32;
var E_NOTIMPL = 0x80004001 | 0;

// The service reads a task's file right after each change, and a Save or a
// Remove at that instant fails with a sharing violation (0x80070020): such a
// call is made again a moment later. Any other error is reported and stops
// the script.
var E_SHARING_VIOLATION = 0x80070020 | 0;
function retried(what, f) {
    for (var tries = 1; ; tries++) {
        try {
            return f();
        } catch (e) {
            if (e.number !== E_SHARING_VIOLATION || tries === 50) {
                WScript.Echo(what + " failed: " + (e.number >>> 0).toString(16) + " " + e.description);
                throw e;
            }
            for (var until = new Date().getTime() + 100; new Date().getTime() < until;) {}
        }
    }
}

// Save; Wine's service writes the file and then answers E_NOTIMPL, which is
// taken as success here.
function save(task) {
    try {
        retried("Save", function () { task.Save(); });
    } catch (e) {
        if (e.number !== E_NOTIMPL) throw e;
    }
}

var sched = new ActiveXObject("TaskScheduler.Scheduler");
var tasks = sched.Tasks;

// 1. List the tasks.
WScript.Echo(tasks.Count + " task(s)");
for (var e = new Enumerator(tasks); !e.atEnd(); e.moveNext())
    WScript.Echo("  " + e.item().TaskName + "  " + e.item().ApplicationName);

// 2. Add a weekly task: Mondays and Fridays at 09:30.
var name = "Example weekly (js)";
if (tasks.Exists(name)) tasks.Remove(name);
var t = tasks.Add(name);
t.ApplicationName = "C:\\windows\\system32\\notepad.exe";
t.Comment = "Written by examples/tasks.js";
var tr = t.Triggers.Add();
tr.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
tr.WeeksInterval = 1;
tr.DaysOfTheWeek = TASK_MONDAY | TASK_FRIDAY;
// Dates go to the component as automation dates: days since 30 December
// 1899, local time, the time of day as the fraction.
function automationDate(d) {
    return (d.getTime() - d.getTimezoneOffset() * 60000) / 86400000 + 25569;
}
var today = Math.floor(automationDate(new Date()));
tr.BeginDate = today;
tr.StartTime = today + 9.5 / 24;
tr.Update();
save(t);

// 3. Change the trigger: 10:15 instead.
tr = t.Triggers.Item(1);
tr.StartTime = today + (10 + 15 / 60) / 24;
tr.Update();
save(t);
WScript.Echo("trigger: " + new Date(tr.StartTime).toTimeString());

// 4. The next run. JScript passes arguments by value, so the Date array that
// GetRunTimes fills never comes back to it: a JScript client asks for the
// next run instead (VBScript, VBA, PowerShell and C++ read the week's times).
WScript.Echo("next run: " + new Date(t.NextRunTime));

// 5. Private data is a Byte array, which JScript can neither build nor read
// (it knows arrays of variants only): see tasks.vbs and the C++ examples.

retried("Remove", function () { tasks.Remove(name); });
WScript.Echo("done");
