// The component from JScript, late-bound through its ProgID, against the
// platform's Task Scheduler service: what JScript does its own way (arguments
// by value, Enumerator, errors as signed HRESULTs). Prints one PASS or FAIL
// line per check, then "N passed, M failed", and exits with M.
//
//   cscript //nologo scheduler.js
var failures = 0, passes = 0, lastError = null;

function check(cond, what) {
    if (cond) passes++;
    else failures++;
    WScript.Echo((cond ? "PASS " : "FAIL ") + what);
}

function checkEq(got, want, what) {
    check(got === want, what + " (got " + got + ", expected " + want + ")");
}

// The error number and description a call raises ("0 " for none).
function errorOf(f) {
    lastError = null;
    try {
        f();
    } catch (e) {
        lastError = e;
    }
    return lastError ? lastError.number + " " + lastError.description : "0 ";
}
var E_5 = 0x800A0005 - 0x100000000;  // error 5 as JScript's signed error number
var E_NOTIMPL = -2147467263;

var fso = new ActiveXObject("Scripting.FileSystemObject");
var jobDir = fso.GetSpecialFolder(0) + "\\Tasks\\";
var sched = new ActiveXObject("TaskScheduler.Scheduler");
var tasks = sched.Tasks;
var before = tasks.Count;

// Arguments go by value: a generated name is not written back, the task carries it.
var given = tasks.Add("velqo js");
var generated = tasks.Add("");
check(generated.TaskName.length > 0 && tasks.Exists(generated.TaskName), "Add(\"\") generates a name");
checkEq(tasks("velqo js").TaskName + " " + tasks.Count, "velqo js " + (before + 2), "the default member; Count");
checkEq(errorOf(function () { tasks("velqo no such task"); }).split(" ")[0], String(E_5),
        "a missing key raises error 5");

var n = 0, sawGiven = false;
for (var e = new Enumerator(tasks); !e.atEnd(); e.moveNext()) {
    n++;
    if (e.item().TaskName === "velqo js") sawGiven = true;
}
check(n === tasks.Count && sawGiven, "Enumerator over Tasks yields Count tasks, the added one too");

var app = fso.GetSpecialFolder(0) + "\\notepad.exe";
given.ApplicationName = app;
given.flags = 0x4;  // TASK_FLAG_DISABLED
checkEq(errorOf(function () { given.ApplicationName = ""; }), E_5 + " Application name must not be empty",
        "empty ApplicationName");

var triggers = given.Triggers;
var tr = triggers.Add();
tr.TriggerType = 2;  // weekly
tr.WeeksInterval = 3;
tr.DaysOfTheWeek = 0x20;  // TASK_FRIDAY
check(!isNaN(new Date(tr.StartTime).getTime()), "StartTime reads as a date");
checkEq(errorOf(function () { tr.DaysOfTheMonth = 1; }), E_5 + " Invalid property assignment",
        "DaysOfTheMonth on a weekly trigger");
checkEq(errorOf(function () { tr.Update(); }), "0 ", "Update");
checkEq(errorOf(function () { triggers.Remove(2); }), E_5 + " Invalid Trigger Index", "Triggers.Remove(2) of one");
n = 0;
for (var te = new Enumerator(triggers); !te.atEnd(); te.moveNext()) n++;
checkEq(n, 1, "Enumerator over Triggers");

// Save: Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
checkEq(errorOf(function () { given.Save(); }).split(" ")[0], String(E_NOTIMPL), "Save under Wine's service");
var loaded = new ActiveXObject("TaskScheduler.Scheduler").Tasks("velqo js");
var ltr = loaded.Triggers(1);
checkEq([loaded.ApplicationName, loaded.flags & 4, ltr.TriggerType, ltr.WeeksInterval, ltr.DaysOfTheWeek].join("|"),
        [app, 4, 2, 3, 0x20].join("|"), "a new Scheduler reads the saved task");
// A service failure passes through: Wine refuses other computers with ERROR_BAD_NETPATH.
checkEq(errorOf(function () { sched.Computer = "\\\\velqo-no-such-host"; }).split(" ")[0], "-2147024843",
        "Computer of an unknown host");
sched.Computer = "";
tasks.Remove("velqo js");
check(!tasks.Exists("velqo js") && !fso.FileExists(jobDir + "velqo js.job"), "Remove deletes the task and its file");

WScript.Echo(passes + " passed, " + failures + " failed");
WScript.Quit(failures);
