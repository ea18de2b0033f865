// The component from JScript, late-bound through its ProgID, against the
// platform's Task Scheduler service: what JScript does its own way (arguments
// by value, Enumerator, errors as signed HRESULTs with their descriptions). Prints one PASS or FAIL
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

var sched = new ActiveXObject("TaskScheduler.Scheduler");
var tasks = sched.Tasks;
var before = tasks.Count;

// Arguments go by value: a generated name is not written back, the task carries it.
var given = tasks.Add("velqo js");
var generated = tasks.Add("");
check(generated.TaskName.length > 0 && tasks.Exists(generated.TaskName), "Add(\"\") generates a name");
checkEq(tasks("velqo js").TaskName + " " + tasks.Count, "velqo js " + (before + 2), "the default member; Count");

var n = 0, sawGiven = false;
for (var e = new Enumerator(tasks); !e.atEnd(); e.moveNext()) {
    n++;
    if (e.item().TaskName === "velqo js") sawGiven = true;
}
check(n === tasks.Count && sawGiven, "Enumerator over Tasks yields Count tasks, the added one too");

given.ApplicationName = "C:\\windows\\notepad.exe";
checkEq(errorOf(function () { given.ApplicationName = ""; }), E_5 + " Application name must not be empty",
        "empty ApplicationName");
var tr = given.Triggers.Add();
check(!isNaN(new Date(tr.StartTime).getTime()), "StartTime reads as a date");

WScript.Echo(passes + " passed, " + failures + " failed");
WScript.Quit(failures);
