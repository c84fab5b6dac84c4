@echo off
rem Runs qxhotfix.exe from this folder with /s, for deployment tools, and
rem returns its exit code unchanged. Given a folder (a log share), it also
rem copies the log of this run there as <computer name>_<log name>; a copy
rem that fails changes nothing.
rem
rem   run-hotfix.cmd [LOG_SHARE]
rem
rem Logs are listed with "dir /b" rather than "for %%f in ("...\*.log")":
rem Wine's cmd expands no wildcard inside quotes there.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "share=%~1"
if defined TMP (set "temp_folder=%TMP%\") else set "temp_folder=%TEMP%\"

rem The exe logs beside itself or, when that folder cannot take the log, in
rem the temporary folder, and a run started in the same second as an earlier
rem one appends to its file. Each log's size now tells afterwards which file
rem this run created or grew.
call :for_each_log "%here%" exe remember
call :for_each_log "%temp_folder%" tmp remember

"%here%qxhotfix.exe" /s
set "exit_code=%ERRORLEVEL%"
if defined share call :copy_log
exit /b %exit_code%

:copy_log
set "log="
set "log_name="
call :for_each_log "%here%" exe pick
if not defined log call :for_each_log "%temp_folder%" tmp pick
if defined log copy /y "%log%" "%share%\%COMPUTERNAME%_%log_name%" >nul 2>&1
exit /b 0

rem Calls :%3 with the folder's tag %2 and the path of each log in folder %1.
:for_each_log
for /f "delims=" %%f in ('dir /b /a-d "%~1qx913hotfix2_*.log" 2^>nul') do call :%~3 %2 "%~1%%f"
exit /b 0

:remember
set "qx_before_%~1_%~nx2=%~z2"
exit /b 0

rem Keeps the log when this run created or grew it; of several, the latest
rem name, that is the latest start, wins.
:pick
call set "before=%%qx_before_%~1_%~nx2%%"
if "%before%"=="%~z2" exit /b 0
if defined log_name if "%~nx2" LSS "%log_name%" exit /b 0
set "log=%~f2"
set "log_name=%~nx2"
exit /b 0
