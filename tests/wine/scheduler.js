// The component from JScript, late-bound through its ProgID, against the
// platform's Task Scheduler service: what JScript does its own way (arguments
// by value, Enumerator, dates). Prints one PASS or FAIL line per check, then
// "N passed, M failed", and exits with M.
//
//   cscript //nologo scheduler.js
var failures = 0, passes = 0;

function check(cond, what) {
    if (cond) passes++;
    else failures++;
    WScript.Echo((cond ? "PASS " : "FAIL ") + what);
}

var tasks = new ActiveXObject("TaskScheduler.Scheduler").Tasks;

// Arguments go by value: a generated name is not written back, the task carries it.
var given = tasks.Add("velqo js");
var generated = tasks.Add("");
check(generated.TaskName.length > 0 && tasks.Exists(generated.TaskName), "Add(\"\") generates a name");

var n = 0, sawGiven = false;
for (var e = new Enumerator(tasks); !e.atEnd(); e.moveNext()) {
    n++;
    if (e.item().TaskName === "velqo js") sawGiven = true;
}
check(n === tasks.Count && sawGiven, "Enumerator over Tasks yields Count tasks, the added one too");

var tr = given.Triggers.Add();
check(!isNaN(new Date(tr.StartTime).getTime()), "StartTime reads as a date");

WScript.Echo(passes + " passed, " + failures + " failed");
WScript.Quit(failures);
