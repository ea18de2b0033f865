# The common jobs from PowerShell (Windows PowerShell 5.1 or PowerShell 7 on
# Windows), late-bound through the ProgID:
#   powershell -ExecutionPolicy Bypass -File tasks.ps1
$ErrorActionPreference = 'Stop'
$TASK_TIME_TRIGGER_WEEKLY = 2
$TASK_MONDAY = 0x2; $TASK_FRIDAY = 0x20

$sched = New-Object -ComObject TaskScheduler.Scheduler
$tasks = $sched.Tasks

# 1. List the tasks.
"$($tasks.Count) task(s)"
foreach ($t in $tasks) { "  $($t.TaskName)  $($t.ApplicationName)" }

# 2. Add a weekly task: Mondays and Fridays at 09:30.
$name = 'Example weekly (PowerShell)'
if ($tasks.Exists($name)) { $tasks.Remove($name) }
$task = $tasks.Add($name)
$task.ApplicationName = "$env:WINDIR\System32\notepad.exe"
$task.Comment = 'Written by examples/tasks.ps1'
$trigger = $task.Triggers.Add()
$trigger.TriggerType = $TASK_TIME_TRIGGER_WEEKLY
$trigger.WeeksInterval = 1
$trigger.DaysOfTheWeek = $TASK_MONDAY -bor $TASK_FRIDAY
$trigger.BeginDate = (Get-Date).Date
$trigger.StartTime = (Get-Date).Date.AddHours(9.5)
$trigger.Update()
$task.Save()

# 3. Change the trigger: 10:15 instead.
$trigger = $task.Triggers.Item(1)
$trigger.StartTime = (Get-Date).Date.AddHours(10.25)
$trigger.Update()
$task.Save()
"trigger: $($trigger.Description)"

# 4. The run times of the next week: the array comes back through [ref].
$times = $null
$n = $task.GetRunTimes((Get-Date), (Get-Date).AddDays(7), [ref]$times)
"$n run(s) next week"
if ($n -gt 0) { $times | ForEach-Object { "  $_" } }

# 5. Private data: a byte array in, the same bytes out.
$task.WorkItemData = [byte[]](1, 2, 3, 250)
$task.Save()
$back = [byte[]]$tasks.Item($name).WorkItemData
"data: $($back.Length) bytes, last $($back[-1])"

$tasks.Remove($name)
'done'
