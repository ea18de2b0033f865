Attribute VB_Name = "Tasks"
' The common jobs from VBA (Excel, Word, Access), early-bound: add a reference
' to "Velqo Task Scheduler 1.3" (Tools > References) so that the classes and
' the enumerations are known by name. Run RunExamples; the Immediate window
' shows the results and ends with "done".
Option Explicit

Public Sub RunExamples()
    Dim sched As New TaskScheduler.Scheduler
    Dim t As TaskScheduler.Task, tr As TaskScheduler.Trigger
    Dim name As String, times() As Date, n As Long, i As Long
    Dim data() As Byte, back() As Byte

    ' 1. List the tasks.
    Debug.Print sched.Tasks.Count & " task(s)"
    For Each t In sched.Tasks
        Debug.Print "  " & t.TaskName & "  " & t.ApplicationName
    Next

    ' 2. Add a weekly task: Mondays and Fridays at 09:30.
    name = "Example weekly (VBA)"
    If sched.Tasks.Exists(name) Then sched.Tasks.Remove name
    Set t = sched.Tasks.Add(name)
    t.ApplicationName = "C:\Windows\System32\notepad.exe"
    t.Comment = "Written by examples/Tasks.bas"
    Set tr = t.Triggers.Add
    tr.TriggerType = TASK_TIME_TRIGGER_WEEKLY
    tr.WeeksInterval = 1
    tr.DaysOfTheWeek = TASK_MONDAY Or TASK_FRIDAY
    tr.BeginDate = Date
    tr.StartTime = TimeSerial(9, 30, 0)
    tr.Update
    t.Save

    ' 3. Change the trigger: 10:15 instead.
    Set tr = t.Triggers(1)
    tr.StartTime = TimeSerial(10, 15, 0)
    tr.Update
    t.Save
    Debug.Print "trigger: " & tr.Description

    ' 4. The run times of the next week.
    n = t.GetRunTimes(Now, Now + 7, times)
    Debug.Print n & " run(s) next week"
    For i = 0 To n - 1
        Debug.Print "  " & times(i)
    Next

    ' 5. Private data: a Byte array in, the same bytes out.
    data = StrConv("report settings", vbFromUnicode)
    t.WorkItemData = data
    t.Save
    back = sched.Tasks(name).WorkItemData
    Debug.Print "data: " & StrConv(back, vbUnicode)

    sched.Tasks.Remove name
    Debug.Print "done"
End Sub
