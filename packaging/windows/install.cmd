@echo off
rem Registers Tamrix from this folder: for you alone (no administrator needed), or with
rem /machine for every user of this computer (from an administrator prompt).
rem   install.cmd [/machine]
setlocal
set "here=%~dp0"
set "scope=user"
if /i "%~1"=="/machine" set "scope=machine"
if not "%~1"=="" if not "%scope%"=="machine" (
    echo usage: install.cmd [/machine]
    exit /b 2
)
rem A 32-bit prompt on 64-bit Windows reaches the 64-bit system folder as Sysnative.
set "sys=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "sys=%SystemRoot%\Sysnative"
set "sys32=%sys%"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "sys32=%SystemRoot%\SysWOW64"

call :register "%sys32%" "%here%Tamrix.dll"
if errorlevel 1 exit /b 1
if not "%sys32%"=="%sys%" call :register "%sys%" "%here%Tamrix64.dll"
if errorlevel 1 exit /b 1
if "%scope%"=="user" (
    echo Tamrix is registered for %USERNAME% alone, from %here%
    echo Remove it with uninstall.cmd; moving this folder needs install.cmd again.
) else (
    echo Tamrix is registered for every user of this computer, from %here%
    echo Remove it with uninstall.cmd /machine, from an administrator prompt.
)
exit /b 0

:register
if "%scope%"=="user" (
    "%~1\regsvr32.exe" /s /n /i:user "%~2"
) else (
    "%~1\regsvr32.exe" /s "%~2"
)
if errorlevel 1 (
    echo Could not register %~2 for the %scope% ^(regsvr32 exit code %errorlevel%^).
    if "%scope%"=="machine" echo Registering for every user needs an administrator prompt.
    exit /b 1
)
echo Registered %~nx2 for the %scope%.
exit /b 0
