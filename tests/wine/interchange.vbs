' One work item with the same settings and weekly trigger on both sides of
' the .job interchange, through the component against Wine's service:
'
'   cscript //nologo interchange.vbs write NAME   makes and saves it
'   cscript //nologo interchange.vbs check NAME   checks one that the other service wrote
'
' The values are those scripts/wine-tests.sh gives vtask on POSIX. Prints one
' PASS or FAIL line per check, then "N passed, M failed", and exits with M.
Option Explicit

Const APP = "C:\windows\system32\notepad.exe"
Const PARAMS = "interchange.txt"
Const WORKDIR = "C:\windows\temp"
Const COMMENT_TEXT = "moved between services"
Const CREATOR_TEXT = "velqo interchange"
Const MAX_RUN = 5400000
Const TASK_FLAG_HIDDEN = &H200
Const TASK_TIME_TRIGGER_WEEKLY = 2
Const TASK_MONDAY = 2
Const TASK_WEDNESDAY = 8

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

Dim mode, name, tasks, task, trigger
mode = WScript.Arguments(0)
name = WScript.Arguments(1)
Set tasks = CreateObject("TaskScheduler.Scheduler").Tasks

If mode = "write" Then
    Set task = tasks.Add(name)
    task.ApplicationName = APP
    task.Parameters = PARAMS
    task.WorkingDirectory = WORKDIR
    task.Comment = COMMENT_TEXT
    task.Creator = CREATOR_TEXT
    task.MaxRunTime = MAX_RUN
    task.flags = TASK_FLAG_HIDDEN
    Set trigger = task.Triggers.Add
    trigger.TriggerType = TASK_TIME_TRIGGER_WEEKLY
    trigger.WeeksInterval = 2
    trigger.DaysOfTheWeek = TASK_MONDAY Or TASK_WEDNESDAY
    trigger.BeginDate = DateSerial(2027, 1, 4)
    trigger.StartTime = TimeSerial(14, 35, 0)
    trigger.flags = 0
    trigger.Update
    ' Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
    On Error Resume Next
    task.Save
    Check Err.Number = 0 Or Err.Number = -2147467263, "Save (" & Err.Number & ")"
    On Error GoTo 0
Else
    Check tasks.Exists(name), "the other service's file is listed"
    Set task = tasks.Item(name)
    CheckEq task.ApplicationName, APP, "ApplicationName"
    CheckEq task.Parameters, PARAMS, "Parameters"
    CheckEq task.WorkingDirectory, WORKDIR, "WorkingDirectory"
    CheckEq task.Comment, COMMENT_TEXT, "Comment"
    CheckEq task.Creator, CREATOR_TEXT, "Creator"
    CheckEq task.MaxRunTime, MAX_RUN, "MaxRunTime"
    CheckEq task.flags And TASK_FLAG_HIDDEN, TASK_FLAG_HIDDEN, "flags"
    CheckEq task.Triggers.Count, 1, "one trigger"
    Set trigger = task.Triggers.Item(1)
    CheckEq trigger.TriggerType, TASK_TIME_TRIGGER_WEEKLY, "TriggerType"
    CheckEq trigger.WeeksInterval, 2, "WeeksInterval"
    CheckEq trigger.DaysOfTheWeek, TASK_MONDAY Or TASK_WEDNESDAY, "DaysOfTheWeek"
    CheckEq trigger.BeginDate, DateSerial(2027, 1, 4), "BeginDate"
    CheckEq Hour(trigger.StartTime) & ":" & Minute(trigger.StartTime), "14:35", "StartTime"
End If

WScript.Echo passes & " passed, " & failures & " failed"
WScript.Quit failures
