' The component from VBScript, late-bound through its ProgID, against the
' platform's Task Scheduler service. Prints one PASS or FAIL line per check and
' exits with the number of failures.
'
'   cscript //nologo scheduler.vbs
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

' The error of the last statement run under On Error Resume Next, then cleared.
Dim errNumber, errSource, errDescription, errHelpFile, errHelpContext
Sub TakeError()
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    errHelpFile = Err.HelpFile
    errHelpContext = Err.HelpContext
    Err.Clear
End Sub

Function BaseName(path)
    BaseName = Mid(path, InStrRev(path, "\") + 1)
End Function

Const PRODUCT = "Velqo Task Scheduler"
Const E_NOTIMPL = -2147467263
Const TASK_TIME_TRIGGER_WEEKLY = 2
Const TASK_MONDAY = 2
Const TASK_WEDNESDAY = 8
Const HIGH_PRIORITY_CLASS = &H80
Const TASK_FLAG_DISABLED = 4
Const TASK_FLAG_HIDDEN = &H200

Dim fso, jobDir
Set fso = CreateObject("Scripting.FileSystemObject")
jobDir = fso.GetSpecialFolder(0) & "\Tasks\"

' ---- Creation and the task list --------------------------------------------------------------------------------
Dim sched, tasks, before
Set sched = CreateObject("TaskScheduler.Scheduler")
Check IsObject(sched), "CreateObject(""TaskScheduler.Scheduler"")"
Set tasks = sched.Tasks
Check sched.Tasks Is tasks, "Scheduler.Tasks is the same collection on every read"
before = tasks.Count
Check before >= 0, "Tasks.Count of a fresh store"

Dim given, generated, name
name = "velqo vbs"
Set given = tasks.Add(name)
CheckEq name, "velqo vbs", "Add keeps a given name"
CheckEq given.TaskName, "velqo vbs", "TaskName of an added task"
name = ""
Set generated = tasks.Add(name)
Check Len(name) > 0, "Add with an empty name writes the generated name back (" & name & ")"
CheckEq generated.TaskName, name, "TaskName of a task under a generated name"
CheckEq tasks.Count, before + 2, "Count after two Adds"

' Item is the default member, by name (any letter case) and by position.
Check tasks("velqo vbs") Is given, "tasks(""velqo vbs"") is the added task"
Check tasks.Item("VELQO VBS") Is given, "keys are compared without regard to letter case"
Check tasks(before + 1) Is given, "tasks(position) in insertion order"
Check tasks(before + 2) Is generated, "the later Add is the later position"
Check tasks.Exists(name), "Exists of the generated name"
Check Not tasks.Exists("velqo no such task"), "Exists of a missing name is False"

On Error Resume Next
Dim missing
Set missing = tasks.Item("velqo no such task")
TakeError
On Error GoTo 0
CheckEq errNumber, 5, "a missing key raises error 5"

On Error Resume Next
tasks.Add "velqo vbs"
TakeError
On Error GoTo 0
CheckEq errNumber, 457, "a name added twice raises error 457"
CheckEq tasks.Count, before + 2, "the failed Add added nothing"

Dim t, seen, sawGiven, sawGenerated
seen = 0
For Each t In tasks
    seen = seen + 1
    If t Is given Then sawGiven = True
    If t Is generated Then sawGenerated = True
Next
CheckEq seen, tasks.Count, "For Each over Tasks yields Count tasks"
Check sawGiven And sawGenerated, "For Each over Tasks yields the added tasks"

' ---- Task properties --------------------------------------------------------------------------------------------
Dim app
app = fso.GetSpecialFolder(0) & "\notepad.exe"
given.ApplicationName = app
CheckEq given.ApplicationName, app, "ApplicationName round trip"
given.Parameters = "/a ""b c"""
CheckEq given.Parameters, "/a ""b c""", "Parameters round trip"
given.Comment = "written by scheduler.vbs"
CheckEq given.Comment, "written by scheduler.vbs", "Comment round trip"
given.Creator = "velqo"
CheckEq given.Creator, "velqo", "Creator round trip"
given.MaxRunTime = 3600000
CheckEq given.MaxRunTime, 3600000, "MaxRunTime round trip"
' Wine's service answers E_NOTIMPL to SetPriority: the component passes that
' status through unchanged, as the error's number, with its own source.
Dim priorityKept
On Error Resume Next
given.Priority = HIGH_PRIORITY_CLASS
TakeError
On Error GoTo 0
If errNumber = E_NOTIMPL Then
    CheckEq errSource, PRODUCT, "Priority put refused by the service: Err.Source"
    priorityKept = given.Priority
Else
    CheckEq errNumber, 0, "Priority put"
    priorityKept = HIGH_PRIORITY_CLASS
End If
CheckEq given.Priority, priorityKept, "Priority round trip"
given.flags = TASK_FLAG_DISABLED Or TASK_FLAG_HIDDEN
CheckEq given.Flags, TASK_FLAG_DISABLED Or TASK_FLAG_HIDDEN, "flags round trip (Flags resolves too)"

On Error Resume Next
given.ApplicationName = ""
TakeError
On Error GoTo 0
CheckEq errNumber, 5, "empty ApplicationName: Err.Number"
CheckEq errSource, PRODUCT, "empty ApplicationName: Err.Source"
CheckEq errDescription, "Application name must not be empty", "empty ApplicationName: Err.Description"
CheckEq BaseName(errHelpFile), "velqosch.chm", "empty ApplicationName: Err.HelpFile"
CheckEq errHelpContext, 9999, "empty ApplicationName: Err.HelpContext"
CheckEq given.ApplicationName, app, "the refused ApplicationName changed nothing"

' ---- Triggers ---------------------------------------------------------------------------------------------------
Dim triggers, tr, tr2
Set triggers = given.Triggers
CheckEq triggers.Count, 0, "a new task has no triggers"
Set tr = triggers.Add
CheckEq tr.Index, 0, "the first trigger has Index 0"
Check triggers(1) Is tr, "triggers(1) is the first trigger (positions count from 1)"
On Error Resume Next
' (Wine's script engine loses the error of a call through a variable's
' default member, so the member is named here.)
Set tr2 = triggers.Item(0)
TakeError
On Error GoTo 0
CheckEq errNumber, 9, "triggers.Item(0) is outside the collection: error 9"

tr.TriggerType = TASK_TIME_TRIGGER_WEEKLY
CheckEq tr.TriggerType, TASK_TIME_TRIGGER_WEEKLY, "TriggerType round trip"
tr.WeeksInterval = 2
CheckEq tr.WeeksInterval, 2, "WeeksInterval round trip"
tr.DaysOfTheWeek = TASK_MONDAY Or TASK_WEDNESDAY
CheckEq tr.DaysOfTheWeek, TASK_MONDAY Or TASK_WEDNESDAY, "DaysOfTheWeek round trip"
Dim start
start = DateSerial(2024, 5, 6) + TimeSerial(14, 35, 50)
tr.StartTime = start
CheckEq tr.StartTime, start, "StartTime reads back the full value written"
Check tr.IsDirty, "IsDirty after changes"

On Error Resume Next
tr.DaysOfTheMonth = 1
TakeError
On Error GoTo 0
CheckEq errNumber, 5, "DaysOfTheMonth on a weekly trigger: Err.Number"
CheckEq errSource, PRODUCT, "DaysOfTheMonth on a weekly trigger: Err.Source"
CheckEq errDescription, "Invalid property assignment", "DaysOfTheMonth on a weekly trigger: Err.Description"
CheckEq BaseName(errHelpFile), "velqosch.chm", "DaysOfTheMonth on a weekly trigger: Err.HelpFile"
CheckEq errHelpContext, 0, "DaysOfTheMonth on a weekly trigger: Err.HelpContext"

On Error Resume Next
tr.Update
TakeError
On Error GoTo 0
CheckEq errNumber, 0, "Update writes the trigger to the service"

On Error Resume Next
triggers.Remove 0
TakeError
On Error GoTo 0
CheckEq errNumber, 5, "Triggers.Remove 0: Err.Number"
CheckEq errSource, PRODUCT, "Triggers.Remove 0: Err.Source"
CheckEq errDescription, "Invalid Trigger Index", "Triggers.Remove 0: Err.Description"
CheckEq errHelpFile, "", "Triggers.Remove 0: no help file"
CheckEq triggers.Count, 1, "the refused Remove deleted nothing"

Set tr2 = triggers.Add
CheckEq tr2.Index, 1, "the second trigger has Index 1"
tr2.Update
seen = 0
For Each t In triggers
    seen = seen + 1
    If seen = 1 Then Check t Is tr, "For Each over Triggers: first"
    If seen = 2 Then Check t Is tr2, "For Each over Triggers: second"
Next
CheckEq seen, 2, "For Each over Triggers yields Count triggers"
triggers.Remove 2
CheckEq triggers.Count, 1, "Triggers.Remove 2"
CheckEq tr2.Index, -1, "a removed trigger reports Index -1"

' ---- Arguments GetRunTimes only reads keep the caller's value and type -------------------------------------------
Dim fromText, toText, noTimes
fromText = "1/1/1990"
toText = "1/2/1990"
CheckEq given.GetRunTimes(fromText, toText, noTimes), 0, "GetRunTimes of a period without runs returns 0"
Check IsEmpty(noTimes), "GetRunTimes without run times leaves TaskTimes Empty, not an array"
CheckEq TypeName(fromText) & " " & TypeName(toText), "String String", "GetRunTimes leaves BeginDate and EndDate Strings"

' ---- Save, and the saved task read back by a new Scheduler -------------------------------------------------------
On Error Resume Next
given.Save
TakeError
On Error GoTo 0
' Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
CheckEq errNumber, -2147467263, "Save under Wine's service raises E_NOTIMPL after writing"
Check fso.FileExists(jobDir & "velqo vbs.job"), "Save wrote velqo vbs.job"

Dim sched2, loaded, ltr
Set sched2 = CreateObject("TaskScheduler.Scheduler")
Check sched2.Tasks.Exists("velqo vbs"), "a new Scheduler loads the saved task"
Check Not sched2.Tasks.Exists(name), "a new Scheduler does not see the unsaved task"
Set loaded = sched2.Tasks("velqo vbs")
CheckEq loaded.ApplicationName, app, "saved ApplicationName"
CheckEq loaded.Parameters, "/a ""b c""", "saved Parameters"
CheckEq loaded.Comment, "written by scheduler.vbs", "saved Comment"
CheckEq loaded.Creator, "velqo", "saved Creator"
CheckEq loaded.MaxRunTime, 3600000, "saved MaxRunTime"
CheckEq loaded.Priority, priorityKept, "saved Priority"
CheckEq loaded.flags And (TASK_FLAG_DISABLED Or TASK_FLAG_HIDDEN), TASK_FLAG_DISABLED Or TASK_FLAG_HIDDEN, _
    "saved flags"
CheckEq loaded.Triggers.Count, 1, "saved trigger count"
Set ltr = loaded.Triggers(1)
CheckEq ltr.TriggerType, TASK_TIME_TRIGGER_WEEKLY, "saved TriggerType"
CheckEq ltr.WeeksInterval, 2, "saved WeeksInterval"
CheckEq ltr.DaysOfTheWeek, TASK_MONDAY Or TASK_WEDNESDAY, "saved DaysOfTheWeek"
CheckEq Hour(ltr.StartTime) & ":" & Minute(ltr.StartTime) & ":" & Second(ltr.StartTime), "14:35:0", _
    "saved StartTime: hour and minute"
CheckEq Int(ltr.StartTime), 0, "saved StartTime: on 30 December 1899"
Check Not ltr.IsDirty, "a loaded trigger is not dirty"

' ---- A service failure passes through unchanged ----------------------------------------------------------------
' Wine's service refuses any computer but the local one with ERROR_BAD_NETPATH.
On Error Resume Next
sched.Computer = "\\velqo-no-such-host"
TakeError
On Error GoTo 0
CheckEq errNumber, -2147024843, "Computer of an unknown host: the service's HRESULT_FROM_WIN32(ERROR_BAD_NETPATH)"
sched.Computer = ""
Check tasks.Exists("velqo vbs"), "Computer = """" reloads the same collection with the local tasks"

' ---- Remove --------------------------------------------------------------------------------------------------------
tasks.Remove "velqo vbs"
Check Not tasks.Exists("velqo vbs"), "Remove takes the task out of the collection"
Check Not fso.FileExists(jobDir & "velqo vbs.job"), "Remove deletes the job file"
Check Not CreateObject("TaskScheduler.Scheduler").Tasks.Exists("velqo vbs"), "a new Scheduler no longer sees it"

WScript.Echo passes & " passed, " & failures & " failed"
WScript.Quit failures
