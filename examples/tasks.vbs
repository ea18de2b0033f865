' The common jobs of a script, late-bound through TaskScheduler.Scheduler:
' list the tasks, add a weekly task, change its trigger, read next week's run
' times, store and read the private data, then remove the task again.
'   cscript //nologo tasks.vbs
Option Explicit
Const TASK_TIME_TRIGGER_WEEKLY = 2
Const TASK_MONDAY = 2, TASK_FRIDAY = 32
Const E_NOTIMPL = &H80004001, E_SHARING_VIOLATION = &H80070020

Dim sched, tasks, t, tr, name, times(), n, i, data

Set sched = CreateObject("TaskScheduler.Scheduler")
Set tasks = sched.Tasks

' 1. List the tasks.
WScript.Echo tasks.Count & " task(s)"
For Each t In tasks
    WScript.Echo "  " & t.TaskName & "  " & t.ApplicationName
Next

' 2. Add a weekly task: Mondays and Fridays at 09:30.
name = "Example weekly (vbs)"
If tasks.Exists(name) Then tasks.Remove name
Set t = tasks.Add(name)
t.ApplicationName = "C:\windows\system32\notepad.exe"
t.Parameters = """C:\Reports\week.txt"""
t.Comment = "Written by examples/tasks.vbs"
Set tr = t.Triggers.Add
tr.TriggerType = TASK_TIME_TRIGGER_WEEKLY
tr.WeeksInterval = 1
tr.DaysOfTheWeek = TASK_MONDAY Or TASK_FRIDAY
tr.BeginDate = Date
tr.StartTime = TimeSerial(9, 30, 0)
tr.Update
SaveTask t

' 3. Change the trigger: 10:15 instead.
Set tr = t.Triggers.Item(1)
tr.StartTime = TimeSerial(10, 15, 0)
tr.Update
SaveTask t
WScript.Echo "trigger: " & FormatDateTime(tr.StartTime, vbShortTime)

' 4. The run times of the next week.
n = t.GetRunTimes(Now, Now + 7, times)
WScript.Echo n & " run(s) next week"
For i = 0 To n - 1
    WScript.Echo "  " & times(i)
Next

' 5. Private data: a script's array of numbers goes in, a Byte() comes out.
t.WorkItemData = Array(1, 2, 3, 250)
SaveTask t
data = tasks.Item(name).WorkItemData
If VarType(data) <> 8209 Then WScript.Quit 1   ' vbArray + vbByte
' A script reads the bytes with LenB, MidB and AscB (which Wine's script
' engine lacks): For i = 1 To LenB(data): AscB(MidB(data, i, 1)): Next
WScript.Echo "data: a Byte array came back"

Retried "Remove", t
WScript.Echo "done"

' Save; Wine's service writes the file and then answers E_NOTIMPL, which is
' taken as success here.
Sub SaveTask(task)
    Retried "Save", task
End Sub

' The service reads a task's file right after each change, and a Save or a
' Remove at that instant fails with a sharing violation (&H80070020): such a
' call is made again a moment later. Any other error is reported and ends the
' script.
Sub Retried(what, task)
    Dim tries, deadline
    For tries = 1 To 50
        On Error Resume Next
        If what = "Save" Then task.Save Else tasks.Remove task.TaskName
        If Err.Number = 0 Or (what = "Save" And Err.Number = E_NOTIMPL) Then Exit Sub
        If Err.Number <> E_SHARING_VIOLATION Then Exit For
        On Error GoTo 0
        deadline = Timer + 0.1
        Do While Timer < deadline And Timer > deadline - 1
        Loop
    Next
    WScript.Echo what & " failed: " & Err.Number & " " & Err.Source & ": " & Err.Description
    WScript.Quit 1
End Sub
