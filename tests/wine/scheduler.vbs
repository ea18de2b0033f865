' The component from VBScript, late-bound through its ProgID, against the
' platform's Task Scheduler service. Prints one PASS or FAIL line per check,
' then "N passed, M failed", and exits with M.
'   cscript //nologo scheduler.vbs              the suite
'   cscript //nologo scheduler.vbs write NAME   saves the work item of the .job interchange
'   cscript //nologo scheduler.vbs check NAME   checks the one that the other service wrote
' The interchange values are those scripts/wine-tests.sh gives vtask on POSIX.
Option Explicit

Dim failures, passes
failures = 0
passes = 0

Sub Check(cond, what)
    If cond Then
        passes = passes + 1
        WScript.Echo "PASS " & what
    Else
        failures = failures + 1
        WScript.Echo "FAIL " & what
    End If
End Sub

Sub CheckEq(got, want, what)
    Check got = want, what & " (got " & got & ", expected " & want & ")"
End Sub

' The values of a list joined by "|" (Wine's script engine has no Join).
Function Cat(values)
    Dim v
    For Each v In values
        Cat = Cat & "|" & v
    Next
    Cat = Mid(Cat, 2)
End Function

Sub Finish()
    WScript.Echo passes & " passed, " & failures & " failed"
    WScript.Quit failures
End Sub

' The error of the last statement run under On Error Resume Next, as its number and as
' "number|source|description|help file|context"; then cleared.
Dim errNumber, errText
Sub TakeError()
    errNumber = Err.Number
    errText = errNumber & "|" & Err.Source & "|" & Err.Description & "|" & _
        Mid(Err.HelpFile, InStrRev(Err.HelpFile, "\") + 1) & "|" & Err.HelpContext
    Err.Clear
End Sub

Const E_NOTIMPL = -2147467263
Const TASK_TIME_TRIGGER_WEEKLY = 2
Const TASK_MONDAY = 2
Const TASK_WEDNESDAY = 8
Const TASK_FLAG_HIDDEN = &H200

Dim fso, jobDir, sched, tasks, task, tr
Set fso = CreateObject("Scripting.FileSystemObject")
jobDir = fso.GetSpecialFolder(0) & "\Tasks\"
Set sched = CreateObject("TaskScheduler.Scheduler")
Set tasks = sched.Tasks

' ---- The .job interchange ----------------------------------------------------------------------------------------
If WScript.Arguments.Count = 2 Then
    Dim name
    name = WScript.Arguments(1)
    If WScript.Arguments(0) = "write" Then
        Set task = tasks.Add(name)
        task.ApplicationName = "C:\windows\system32\notepad.exe"
        task.Parameters = "interchange.txt"
        task.WorkingDirectory = "C:\windows\temp"
        task.Comment = "moved between services"
        task.Creator = "velqo interchange"
        task.MaxRunTime = 5400000
        task.flags = TASK_FLAG_HIDDEN
        Set tr = task.Triggers.Add
        tr.TriggerType = TASK_TIME_TRIGGER_WEEKLY
        tr.WeeksInterval = 2
        tr.DaysOfTheWeek = TASK_MONDAY Or TASK_WEDNESDAY
        tr.BeginDate = DateSerial(2027, 1, 4)
        tr.StartTime = TimeSerial(14, 35, 0)
        tr.flags = 0
        tr.Update
        ' Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
        On Error Resume Next: task.Save: TakeError: On Error GoTo 0
        Check errNumber = 0 Or errNumber = E_NOTIMPL, "Save (" & errNumber & ")"
    Else
        Check tasks.Exists(name), "the other service's file is listed"
        Set task = tasks.Item(name)
        Set tr = task.Triggers.Item(1)
        CheckEq Cat(Array(task.ApplicationName, task.Parameters, task.WorkingDirectory, task.Comment, _
            task.Creator, task.MaxRunTime, task.flags And TASK_FLAG_HIDDEN, task.Triggers.Count)), _
            "C:\windows\system32\notepad.exe|interchange.txt|C:\windows\temp|moved between services|" & _
            "velqo interchange|5400000|" & TASK_FLAG_HIDDEN & "|1", "the task's settings"
        CheckEq Cat(Array(tr.TriggerType, tr.WeeksInterval, tr.DaysOfTheWeek, tr.BeginDate, _
            Hour(tr.StartTime) & ":" & Minute(tr.StartTime))), _
            TASK_TIME_TRIGGER_WEEKLY & "|2|" & (TASK_MONDAY Or TASK_WEDNESDAY) & "|" & DateSerial(2027, 1, 4) & _
            "|14:35", "the weekly trigger"
    End If
    Finish
End If
' ---- Creation, the task list, errors and triggers -------------------------------------------------------------
Dim before, given, generated, newName, t, seen, triggers, tr2, fromText, toText, noTimes
before = tasks.Count
newName = "velqo vbs"
Set given = tasks.Add(newName)
' An Empty variable is converted for the call and still takes the generated name back.
newName = Empty
Set generated = tasks.Add(newName)
Check Len(newName) > 0 And generated.TaskName = newName, "Add with an Empty name writes the generated name back"
' Item is the default member, by name (any letter case) and by position.
Check tasks("VELQO VBS") Is given And tasks(before + 2) Is generated, "tasks(name), tasks(position)"

given.ApplicationName = fso.GetSpecialFolder(0) & "\notepad.exe"
On Error Resume Next: given.ApplicationName = "": TakeError: On Error GoTo 0
CheckEq errText, "5|Velqo Task Scheduler|Application name must not be empty|velqosch.chm|9999", "empty ApplicationName"

Set triggers = given.Triggers
Set tr = triggers.Add
Set tr2 = triggers.Add
seen = ""
For Each t In triggers
    seen = seen & Abs(t Is tr) & Abs(t Is tr2)
Next
CheckEq seen, "1001", "For Each over Triggers yields the same trigger objects in order"

' ---- Arguments GetRunTimes only reads keep the caller's value and type -------------------------------------------
fromText = "1/1/1990"
toText = "1/2/1990"
CheckEq given.GetRunTimes(fromText, toText, noTimes), 0, "GetRunTimes of a period without runs returns 0"
Check IsEmpty(noTimes), "GetRunTimes without run times leaves TaskTimes Empty, not an array"
CheckEq TypeName(fromText) & " " & TypeName(toText), "String String", "GetRunTimes leaves BeginDate and EndDate Strings"

' ---- Save (the settings it writes are the .job interchange's to check), then Remove --------------------------------
On Error Resume Next: given.Save: TakeError: On Error GoTo 0
' Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
Check errNumber = E_NOTIMPL And fso.FileExists(jobDir & "velqo vbs.job"), "Save wrote the file, then E_NOTIMPL"
Check CreateObject("TaskScheduler.Scheduler").Tasks.Exists("velqo vbs"), "a new Scheduler loads the saved task"
tasks.Remove "velqo vbs"
Check Not tasks.Exists("velqo vbs") And Not fso.FileExists(jobDir & "velqo vbs.job"), "Remove deletes task and file"
Finish
