@echo off
rem Registers velqosch.dll (TaskScheduler.Scheduler) for the programs of
rem every bitness this Windows runs: the 32-bit DLL in x86\ through the
rem 32-bit regsvr32, the 64-bit DLL in x64\ through the 64-bit one.
rem Run it from an administrator prompt.
setlocal
set "here=%~dp0"
set "regsvr32_x86=%SystemRoot%\System32\regsvr32.exe"
set "regsvr32_x64="
if defined PROCESSOR_ARCHITEW6432 (
    rem A 32-bit prompt on 64-bit Windows: System32 is the 32-bit one here.
    set "regsvr32_x64=%SystemRoot%\Sysnative\regsvr32.exe"
) else if /i not "%PROCESSOR_ARCHITECTURE%"=="x86" (
    set "regsvr32_x86=%SystemRoot%\SysWOW64\regsvr32.exe"
    set "regsvr32_x64=%SystemRoot%\System32\regsvr32.exe"
)
"%regsvr32_x86%" /s "%here%x86\velqosch.dll" || goto failed
echo Registered x86\velqosch.dll
if not defined regsvr32_x64 goto done
"%regsvr32_x64%" /s "%here%x64\velqosch.dll" || goto failed
echo Registered x64\velqosch.dll
:done
exit /b 0
:failed
echo Registration failed with error %errorlevel%; run this from an administrator prompt. 1>&2
exit /b 1
