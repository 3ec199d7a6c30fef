@echo off
rem Removes Tamrix's registration, made by install.cmd for you alone or with /machine for
rem every user; either way removes both where it can (the computer's needs an
rem administrator prompt). The files stay: delete this folder afterwards.
rem   uninstall.cmd [/machine]
setlocal
set "here=%~dp0"
set "scope=user"
if /i "%~1"=="/machine" set "scope=machine"
if not "%~1"=="" if not "%scope%"=="machine" (
    echo usage: uninstall.cmd [/machine]
    exit /b 2
)
set "sys=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "sys=%SystemRoot%\Sysnative"
set "sys32=%sys%"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "sys32=%SystemRoot%\SysWOW64"

set "failed="
if not "%sys32%"=="%sys%" call :unregister "%sys%" "%here%Tamrix64.dll"
if errorlevel 1 set "failed=1"
call :unregister "%sys32%" "%here%Tamrix.dll"
if errorlevel 1 set "failed=1"
if defined failed exit /b 1
echo Tamrix is no longer registered; you may delete %here%
exit /b 0

:unregister
if "%scope%"=="user" (
    "%~1\regsvr32.exe" /s /u /n /i:user "%~2"
) else (
    "%~1\regsvr32.exe" /s /u "%~2"
)
if errorlevel 1 (
    echo Could not remove the registration of %~2 ^(regsvr32 exit code %errorlevel%^).
    echo A registration for every user is removed from an administrator prompt only.
    exit /b 1
)
echo Removed the registration of %~nx2.
exit /b 0
