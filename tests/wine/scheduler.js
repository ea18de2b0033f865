// The component from JScript, late-bound through its ProgID, against the
// platform's Task Scheduler service. Prints one PASS or FAIL line per check
// and exits with the number of failures.
//
//   cscript //nologo scheduler.js
var failures = 0, passes = 0;

function check(cond, what) {
    if (cond) {
        passes++;
        WScript.Echo("PASS " + what);
    } else {
        failures++;
        WScript.Echo("FAIL " + what);
    }
}

function checkEq(got, want, what) {
    check(got === want, what + " (got " + got + ", expected " + want + ")");
}

// The error number a call raises (0 for none); JScript sees the HRESULT, 0x800A0005 for error 5.
function errorOf(f) {
    try {
        f();
    } catch (e) {
        lastError = e;
        return e.number;
    }
    lastError = null;
    return 0;
}
var lastError = null;
var E_5 = 0x800A0005 - 0x100000000;  // as JScript's signed error number
var E_NOTIMPL = -2147467263;

var fso = new ActiveXObject("Scripting.FileSystemObject");
var jobDir = fso.GetSpecialFolder(0) + "\\Tasks\\";

var sched = new ActiveXObject("TaskScheduler.Scheduler");
check(typeof sched === "object", "new ActiveXObject(\"TaskScheduler.Scheduler\")");
var tasks = sched.Tasks;
var before = tasks.Count;
check(before >= 0, "Tasks.Count");

// JScript passes arguments by value: a generated name is not written back, the task carries it.
var given = tasks.Add("velqo js");
checkEq(given.TaskName, "velqo js", "Add under a given name");
var generated = tasks.Add("");
check(generated.TaskName.length > 0, "Add with an empty name generates one (" + generated.TaskName + ")");
checkEq(tasks.Count, before + 2, "Count after two Adds");
check(tasks.Exists(generated.TaskName), "Exists of the generated name");
check(!tasks.Exists("velqo no such task"), "Exists of a missing name is false");

checkEq(tasks("velqo js").TaskName, "velqo js", "tasks(\"velqo js\") through the default member");
checkEq(tasks.Item(before + 1).TaskName, "velqo js", "tasks.Item(position) in insertion order");
checkEq(errorOf(function () { tasks("velqo no such task"); }), E_5, "a missing key raises error 5");

var n = 0, sawGiven = false;
for (var e = new Enumerator(tasks); !e.atEnd(); e.moveNext()) {
    n++;
    if (e.item().TaskName === "velqo js") sawGiven = true;
}
checkEq(n, tasks.Count, "Enumerator over Tasks yields Count tasks");
check(sawGiven, "Enumerator over Tasks yields the added task");

// Task properties.
var app = fso.GetSpecialFolder(0) + "\\notepad.exe";
given.ApplicationName = app;
checkEq(given.ApplicationName, app, "ApplicationName round trip");
given.Parameters = "-x";
checkEq(given.Parameters, "-x", "Parameters round trip");
given.Comment = "written by scheduler.js";
checkEq(given.Comment, "written by scheduler.js", "Comment round trip");
given.Creator = "velqo js";
checkEq(given.Creator, "velqo js", "Creator round trip");
given.MaxRunTime = 60000;
checkEq(given.MaxRunTime, 60000, "MaxRunTime round trip");
// Wine's service answers E_NOTIMPL to SetPriority; the component passes it on.
var priorityError = errorOf(function () { given.Priority = 0x40; });  // IDLE_PRIORITY_CLASS
if (priorityError === E_NOTIMPL) {
    checkEq(lastError.description, "Not implemented", "Priority refused by the service: its description");
} else {
    checkEq(priorityError, 0, "Priority put");
    checkEq(given.Priority, 0x40, "Priority round trip");
}
given.flags = 0x4;  // TASK_FLAG_DISABLED
checkEq(given.flags, 0x4, "flags round trip");

checkEq(errorOf(function () { given.ApplicationName = ""; }), E_5, "empty ApplicationName raises error 5");
checkEq(lastError && lastError.description, "Application name must not be empty", "its description");

// Triggers.
var triggers = given.Triggers;
checkEq(triggers.Count, 0, "a new task has no triggers");
var tr = triggers.Add();
checkEq(tr.Index, 0, "the first trigger has Index 0");
checkEq(triggers(1).Index, 0, "triggers(1) is the first trigger");
check(errorOf(function () { triggers(0); }) !== 0, "triggers(0) is outside the collection");
tr.TriggerType = 2;  // weekly
checkEq(tr.TriggerType, 2, "TriggerType round trip");
tr.WeeksInterval = 3;
checkEq(tr.WeeksInterval, 3, "WeeksInterval round trip");
tr.DaysOfTheWeek = 0x20;  // TASK_FRIDAY
checkEq(tr.DaysOfTheWeek, 0x20, "DaysOfTheWeek round trip");
var start = new Date(tr.StartTime);
check(!isNaN(start.getTime()), "StartTime reads as a date");
checkEq(errorOf(function () { tr.DaysOfTheMonth = 1; }), E_5, "DaysOfTheMonth on a weekly trigger raises error 5");
checkEq(lastError && lastError.description, "Invalid property assignment", "its description");
checkEq(errorOf(function () { tr.Update(); }), 0, "Update");
checkEq(errorOf(function () { triggers.Remove(2); }), E_5, "Triggers.Remove(2) of one trigger raises error 5");
checkEq(lastError && lastError.description, "Invalid Trigger Index", "its description");
n = 0;
for (var te = new Enumerator(triggers); !te.atEnd(); te.moveNext()) n++;
checkEq(n, 1, "Enumerator over Triggers");

// Save: Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
checkEq(errorOf(function () { given.Save(); }), -2147467263, "Save under Wine's service raises E_NOTIMPL");
check(fso.FileExists(jobDir + "velqo js.job"), "Save wrote velqo js.job");
var loaded = new ActiveXObject("TaskScheduler.Scheduler").Tasks("velqo js");
checkEq(loaded.Comment, "written by scheduler.js", "a new Scheduler reads the saved Comment");
checkEq(loaded.Triggers.Count, 1, "and the saved trigger");
checkEq(loaded.Triggers(1).WeeksInterval, 3, "and its WeeksInterval");

// A service failure passes through: Wine refuses other computers with ERROR_BAD_NETPATH.
checkEq(errorOf(function () { sched.Computer = "\\\\velqo-no-such-host"; }), -2147024843,
        "Computer of an unknown host");
sched.Computer = "";

tasks.Remove("velqo js");
check(!tasks.Exists("velqo js"), "Remove");
check(!fso.FileExists(jobDir + "velqo js.job"), "Remove deletes the job file");

WScript.Echo(passes + " passed, " + failures + " failed");
WScript.Quit(failures);
