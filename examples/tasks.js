// The common jobs of a script in JScript, late-bound through
// TaskScheduler.Scheduler: list the tasks, add a weekly task, change its
// trigger, read next week's run times, store and read the private data, then
// remove the task again.
//   cscript //nologo tasks.js
var TASK_TIME_TRIGGER_WEEKLY = 2, TASK_MONDAY = 2, TASK_FRIDAY = 32;
var E_NOTIMPL = 0x80004001 | 0;

// Save; Wine's service writes the file and then answers E_NOTIMPL, which is
// taken as success here.
function save(task) {
    try {
        task.Save();
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
var today = new Date();
today.setHours(9, 30, 0, 0);
tr.BeginDate = today.getVarDate();
tr.StartTime = today.getVarDate();
tr.Update();
save(t);

// 3. Change the trigger: 10:15 instead.
tr = t.Triggers.Item(1);
today.setHours(10, 15, 0, 0);
tr.StartTime = today.getVarDate();
tr.Update();
save(t);
WScript.Echo("trigger: " + new Date(tr.StartTime).toTimeString());

// 4. The run times of the next week. JScript passes arguments by value, so
// the Date array that GetRunTimes fills stays with the component: a script
// gets the count here (VBScript, VBA and PowerShell get the times too).
var now = new Date(), weekOn = new Date(now.getTime() + 7 * 86400000);
var count = t.GetRunTimes(now.getVarDate(), weekOn.getVarDate(), null);
WScript.Echo(count + " run(s) next week");
WScript.Echo("next run: " + new Date(t.NextRunTime));

// 5. Private data. JScript cannot build a Byte array, but it can hand one
// on: the clone carries the data block of its source, read here through
// VBArray. (tasks.vbs stores data from a script array.)
var copy = tasks.Clone(name, name + " copy");
var block = copy.WorkItemData;
var data = block == null ? [] : new VBArray(block).toArray();
WScript.Echo("data: " + data.length + " bytes");
tasks.Remove(name + " copy");

tasks.Remove(name);
WScript.Echo("done");
