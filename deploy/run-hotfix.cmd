@echo off
rem Runs this machine's own copy of the hotfix, for deployment tools:
rem copies qxhotfix.exe and the five shipped folders of modules\ from this
rem folder into a new private folder under the temporary folder, runs it
rem there with /s, keeps the run's log in the temporary folder, copies it to
rem LOG_SHARE (when given) as <computer name>_<log name>, removes the private
rem folder and returns the exe's exit code unchanged. The package folder is
rem only read. When the package cannot be staged: one line on stderr and
rem exit code 1.
rem
rem   run-hotfix.cmd [LOG_SHARE]
rem
rem Paths may hold any character (spaces, & ( ) %% ^ !, non-ASCII): they are
rem only ever expanded once and inside quotes, never passed through "call"
rem (which expands %% again and doubles ^), and delayed expansion is off.
rem Wildcards are matched in the current folder, unquoted: Wine's cmd
rem expands none inside quotes in a "for" set. Results are read from exit
rem codes and files, never with && or ||, which Wine's cmd takes for a
rem failure after a copy that succeeded.
setlocal EnableExtensions DisableDelayedExpansion
set "package=%~dp0"
set "share=%~1"
if defined share if not "%share:~-1%"=="\" set "share=%share%\"
rem The temporary folder as the exe's GetTempPathW finds it: TMP, then TEMP.
set "temp_folder=%TMP%"
if not defined temp_folder set "temp_folder=%TEMP%"
if not defined temp_folder set "temp_folder=%SystemRoot%\Temp"
if not "%temp_folder:~-1%"=="\" set "temp_folder=%temp_folder%\"

if not exist "%package%qxhotfix.exe" (
    >&2 echo run-hotfix: cannot stage the package: no qxhotfix.exe in "%package%"
    exit /b 1
)
if not exist "%package%modules\" (
    >&2 echo run-hotfix: cannot stage the package: no modules folder in "%package%"
    exit /b 1
)
if not exist "%temp_folder%" (
    >&2 echo run-hotfix: cannot stage the package: the temporary folder "%temp_folder%" does not exist
    exit /b 1
)

rem A folder of this run's own: mkdir fails on a name that exists, so a
rem run started at the same moment (with the same %%RANDOM%% sequence) moves
rem on to the next name. A short name leaves room for long paths below it.
set /a attempts=0
:new_private_folder
set /a attempts+=1
set "stage=%temp_folder%qx%RANDOM%\"
mkdir "%stage%" 2>nul
if not errorlevel 1 goto stage_package
if exist "%stage%" if %attempts% lss 100 goto new_private_folder
>&2 echo run-hotfix: cannot stage the package: cannot create a folder in "%temp_folder%"
exit /b 1

rem The run reads only the files directly in the five shipped folders. Each
rem is copied on its own: Wine's xcopy /e forgets a failure in a sub-folder.
:stage_package
set "staging_failed="
copy /b /y "%package%qxhotfix.exe" "%stage%qxhotfix.exe" >nul 2>&1
if errorlevel 1 set "staging_failed=1"
call :stage_folder bin
call :stage_folder bin_x64
call :stage_folder zfa_act
call :stage_folder 181235_bin
call :stage_folder 181235_bin_x64
if defined staging_failed (
    >&2 echo run-hotfix: cannot stage the package: copying "%package%" into "%stage%" failed
    rmdir /s /q "%stage%" 2>nul
    exit /b 1
)

"%stage%qxhotfix.exe" /s
set "exit_code=%ERRORLEVEL%"

set "log_name="
pushd "%stage%"
for %%f in (qx913hotfix2_*.log) do set "log_name=%%f"
popd
if not defined log_name (
    rem The exe logs into the temporary folder when its log's path would be
    rem too long in its own folder.
    >&2 echo run-hotfix: the run left no log in "%stage%": look for it in "%temp_folder%"
    rmdir /s /q "%stage%" 2>nul
    exit /b %exit_code%
)
call :keep_log
if defined kept_log if defined share call :copy_to_share
if not defined kept_log exit /b %exit_code%
rmdir /s /q "%stage%" 2>nul
if exist "%stage%" >&2 echo run-hotfix: could not remove the folder "%stage%"
exit /b %exit_code%

rem Copies the files directly in modules\%1 (a fixed name), a missing folder
rem staying missing and an empty one empty.
:stage_folder
if not exist "%package%modules\%~1\" exit /b 0
xcopy "%package%modules\%~1" "%stage%modules\%~1\" /i /h /q /y >nul 2>&1
rem Exit code 1 only says that the folder holds no file.
if errorlevel 2 set "staging_failed=1"
if not exist "%stage%modules\%~1\" mkdir "%stage%modules\%~1"
if not exist "%stage%modules\%~1\" set "staging_failed=1"
exit /b 0

rem Moves the log out of the private folder into the temporary folder, under
rem a name that is not taken there: a run of the same second on this machine
rem keeps "<log name>_2.log". When it cannot, the private folder stays.
:keep_log
set "kept_log=%log_name%"
set /a copy_number=1
:find_free_name
if not exist "%temp_folder%%kept_log%" goto move_log
set /a copy_number+=1
set "kept_log=%log_name:~0,-4%_%copy_number%.log"
goto find_free_name
:move_log
move /y "%stage%%log_name%" "%temp_folder%%kept_log%" >nul 2>&1
rem Wine's move leaves the exit code as it was: the files tell.
if not exist "%stage%%log_name%" if exist "%temp_folder%%kept_log%" exit /b 0
>&2 echo run-hotfix: could not move the log out of "%stage%", which is kept
set "kept_log="
exit /b 0

:copy_to_share
copy /y "%temp_folder%%kept_log%" "%share%%COMPUTERNAME%_%kept_log%" >nul 2>&1
if errorlevel 1 >&2 echo run-hotfix: could not copy the log "%temp_folder%%kept_log%" to "%share%"
exit /b 0
