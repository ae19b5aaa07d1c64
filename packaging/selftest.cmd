@echo off
rem selftest.cmd [release folder]
rem
rem Checks an unpacked release on this computer. The release folder is the one above this
rem selftest folder unless given. Nothing in it is changed: the checks work on copies in a
rem folder of their own under %TEMP%, which is removed when every check passed.
rem
rem Without administrator rights: a recording through Quill_Spread.dll by the trial host with a
rem duplicate output joining mid-stream, share modes against a second writer, a nested plug-in
rem named in a settings file, tailgrip following the growing recording into brimtank and
rem hopover, hopover joining a cut pipe onto its file, and VelmoraAdminProxy.exe answering the
rem requests of proxy_send.exe. Run elevated, it also sends the set-time request for the present
rem and the open-file query, which act on this computer's clock and file server.
rem
rem Prints one line per check ("ok" or "FAIL") and ends with "N passed, N failed"; the exit code
rem is the number of failed checks.
rem
rem Written for Windows' cmd and for wine's, whose "||" runs its right side in any case: a check
rem sets ok=1, each step clears it on failure ("call :run" or "if errorlevel 1 set ok=0"), and
rem "call :result" counts and prints it.
setlocal EnableExtensions EnableDelayedExpansion
set passed=0
set failed=0

set "here=%~dp0"
set "release=%~1"
if "%release%"=="" set "release=%here%.."
for %%D in ("%release%") do set "release=%%~fD"
set "util=%here%selftest_util.exe"
set "host=%here%quill_record_host.exe"
set "generate=%here%quill_ts_generate.exe"
set "probe=%here%quill_share_probe.exe"
set "send=%here%proxy_send.exe"

echo Self-test of the release in %release%

rem Everything the checks need must be there: the five programs and the README of the release,
rem and the programs of the self-test.
set missing=
for %%F in (Quill_Spread.dll VelmoraAdminProxy.exe brimtank.exe tailgrip.exe hopover.exe README.txt) do (
  if not exist "!release!\%%F" set "missing=!missing! %%F"
)
for %%F in (quill_record_host.exe TestNested.dll quill_ts_generate.exe quill_share_probe.exe proxy_send.exe selftest_util.exe) do (
  if not exist "!here!%%F" set "missing=!missing! selftest\%%F"
)
set ok=1
if defined missing set ok=0
call :result "the release folder and the self-test are complete"
if defined missing (
  echo      missing:!missing!
  goto :finish
)

set "work=%TEMP%\velmora-selftest-%RANDOM%%RANDOM%"
mkdir "%work%\plain" "%work%\nested" >nul 2>&1
set ok=1
if not exist "%work%\nested" set ok=0
call :result "a work folder was made: %work%"
if not exist "%work%\nested" goto :finish
"%util%" elevated
if errorlevel 1 (set elevated=0) else (set elevated=1)

rem A transport stream in three parts, so that each part can be compared on its own: the
rem duplicate output joins 100 bytes before the end of part 1 (it begins at the next packet
rem boundary, the start of part 2) and leaves at the end of part 2.
set /a join=4000*188-100
set /a leave=10000*188
"%generate%" 4000 1 > "%work%\part1.ts"
"%generate%" 6000 2 > "%work%\part2.ts"
"%generate%" 4000 3 > "%work%\part3.ts"
copy /b "%work%\part1.ts"+"%work%\part2.ts"+"%work%\part3.ts" "%work%\stream.ts" >nul
set size=0
for %%F in ("%work%\stream.ts") do set size=%%~zF
set ok=0
if "%size%"=="2632000" set ok=1
call :result "quill_ts_generate made a transport stream of 14000 packets (%size% bytes)"
set ok=0
"%util%" same "%work%\part1.ts" "%work%\part3.ts" >nul
if !errorlevel! EQU 1 set ok=1
call :result "selftest_util tells two different files apart"

rem Direct-file mode: a copy of Quill_Spread.dll without a settings file. The host paces its
rem buffers so that the recording grows for some seconds while the others look at it.
copy /b "%release%\Quill_Spread.dll" "%work%\plain\Quill_Spread.dll" >nul
start "" /b "%host%" "%work%\plain\Quill_Spread.dll" "%work%\rec.ts" --input "%work%\stream.ts" --buffer 10000 --pace 15 --dup "%join%:%work%\dup.ts" --drop "%leave%:1" > "%work%\host.txt" 2>&1
"%util%" line "%work%\host.txt" "save " 60 quill_record_host.exe
set ok=1
call :run "%util%" line "%work%\host.txt" "save 1 "
call :result "Quill_Spread.dll: the trial host started a save to a file"

rem Share modes: while the recording is written, a second process may read it but neither
rem write nor delete it. The probe deletes the file where it may, so it runs only while the
rem host is still saving.
set ok=0
"%util%" line "%work%\host.txt" "stop "
if errorlevel 1 (
  "%probe%" "%work%\rec.ts" > "%work%\probe.txt"
  "%util%" line "%work%\probe.txt" "read=1 write=0 delete=0"
  if not errorlevel 1 set ok=1
) else (
  echo      the recording ended before the probe could run
)
call :result "share modes: while it is saved, another process may read the recording, not write or delete it"

rem tailgrip follows the growing recording with the packet check, through brimtank and hopover.
"%release%\tailgrip.exe" 0 3p48199 "%work%\rec.ts" | "%release%\brimtank.exe" 1048576 65536 | "%release%\hopover.exe" "%work%\rec.ts" > "%work%\followed.ts"

"%util%" line "%work%\host.txt" "stop " 120 quill_record_host.exe
set ok=1
call :run "%util%" line "%work%\host.txt" "fed 2632000 "
call :run "%util%" line "%work%\host.txt" "stop 1"
call :result "the host handed over the whole stream, every buffer was taken, the save stopped"
set ok=1
call :run "%util%" same "%work%\stream.ts" "%work%\rec.ts"
call :result "the recording equals the stream"
set ok=1
call :run "%util%" line "%work%\host.txt" "dup 1 at %join% ret 1 "
call :run "%util%" line "%work%\host.txt" "drop 1 at %leave% ret 1"
call :run "%util%" same "%work%\part2.ts" "%work%\dup.ts"
call :result "a duplicate added at byte %join% began on the next packet boundary and ran until its removal at byte %leave%"
set ok=1
call :run "%util%" same "%work%\rec.ts" "%work%\followed.ts"
call :result "tailgrip (packet check) followed the growing recording into brimtank and hopover: the copy equals it"

rem hopover: a pipe cut after part 1, continued from the file at the byte count relayed.
set ok=1
"%release%\hopover.exe" "%work%\stream.ts" < "%work%\part1.ts" > "%work%\joined.ts"
if errorlevel 1 set ok=0
call :run "%util%" same "%work%\stream.ts" "%work%\joined.ts"
call :result "hopover joined a pipe cut after part 1 onto the file: the output equals the stream"

rem Each tool answers a wrong argument count with exit code 2.
set ok=1
for %%T in (brimtank tailgrip hopover) do (
  "!release!\%%T.exe" > nul 2>&1
  if !errorlevel! NEQ 2 set ok=0
)
call :result "brimtank, tailgrip and hopover start and answer a wrong argument count with exit code 2"

rem Nested mode: a copy of Quill_Spread.dll whose settings file names the test plug-in beside it.
copy /b "%release%\Quill_Spread.dll" "%work%\nested\Quill_Spread.dll" >nul
copy /b "%here%TestNested.dll" "%work%\nested\TestNested.dll" >nul
> "%work%\nested\Quill_Spread.dll.ini" echo [SET]
>> "%work%\nested\Quill_Spread.dll.ini" echo WritePlugin=TestNested.dll
>> "%work%\nested\Quill_Spread.dll.ini" echo DataUnit=188
set ok=1
"%host%" "%work%\nested\Quill_Spread.dll" "%work%\nrec.ts" --input "%work%\stream.ts" --buffer 10000 --dup "%join%:%work%\ndup.ts" --drop "%leave%:1" > "%work%\nested.txt" 2>&1
if errorlevel 1 set ok=0
call :run "%util%" line "%work%\nested.txt" "save 1 %work%\nrec.ts.nested"
call :result "Quill_Spread.dll with WritePlugin=TestNested.dll in its settings file saved through the nested plug-in"
set ok=1
if exist "%work%\nrec.ts" set ok=0
call :run "%util%" same "%work%\stream.ts" "%work%\nrec.ts.nested"
call :run "%util%" same "%work%\part2.ts" "%work%\ndup.ts.nested"
call :result "the nested plug-in got the stream, and the duplicate from the packet boundary; no file was written directly"
set ok=1
call :run "%util%" line "%work%\nested\TestNested.dll.log" "load"
call :run "%util%" line "%work%\nested\TestNested.dll.log" "unload"
call :result "the nested plug-in was loaded and released again"

rem The proxy and its requests, sent by proxy_send.exe as a less-privileged process on this
rem desktop sends them.
"%send%" find > nul 2>&1
if not errorlevel 1 (
  echo      skip the proxy: one is running already ^(end it to check the one of this release^)
  goto :finish
)
start "" "%release%\VelmoraAdminProxy.exe"
set tries=0
:wait_for_proxy
"%send%" find > nul 2>&1
if not errorlevel 1 goto :proxy_found
set /a tries+=1
if %tries% GEQ 100 goto :proxy_found
"%util%" sleep 100
goto :wait_for_proxy
:proxy_found
set ok=1
"%send%" find > nul 2>&1
if errorlevel 1 set ok=0
call :result "VelmoraAdminProxy.exe started, its window is found"
set ok=1
call :ask -1 settime 172800
call :result "set-time request 48 hours ahead: refused (-1)"
set ok=1
call :ask -1 query t.t
call :result "open-file query for the invalid extension t.t: refused (-1)"

if not "%elevated%"=="1" (
  echo      skip the set-time request for the present and the open-file query: not elevated
  goto :close_proxy
)
echo      elevated: the next checks set this computer's clock to the present and ask its file server
rem wine sets the clock only within half a second of its own reading, so a request held up
rem that long is refused; a refusal begins no busy period, so it is sent up to three times.
set tries=0
:settime_again
set ok=1
call :ask 1 settime
set /a tries+=1
if "%ok%"=="0" if %tries% LSS 3 goto :settime_again
call :result "set-time request for the present: the clock was set (1)"
set ok=1
call :ask -1 settime
call :result "the same again at once: refused while busy for 30 s (-1)"
set ok=1
call :ask 1 query txt
if "%ok%"=="1" (
  call :result "open-file query for txt: answered 1, a .txt file is open through this computer's file server"
) else (
  set ok=1
  call :ask -1 query txt
  call :result "open-file query for txt: answered -1, no .txt file is open through the file server, or listing failed"
)

:close_proxy
"%send%" close > nul 2>&1
set tries=0
:wait_for_close
"%send%" find > nul 2>&1
if errorlevel 1 goto :proxy_closed
set /a tries+=1
if %tries% GEQ 100 goto :proxy_closed
"%util%" sleep 100
goto :wait_for_close
:proxy_closed
set ok=0
"%send%" find > nul 2>&1
if errorlevel 1 set ok=1
call :result "WM_CLOSE ended the proxy"

:finish
echo %passed% passed, %failed% failed
if %failed% EQU 0 (
  if defined work rd /s /q "%work%" >nul 2>&1
) else (
  if defined work echo      the files of the checks are in %work%
)
rem Started by a double click, the window would close before anyone could read it.
echo !cmdcmdline! | find /i "%~nx0" >nul 2>&1
if not errorlevel 1 pause
exit /b %failed%

rem call :result "what was checked": counts the check and prints it, passed when ok is 1.
:result
if not "%ok%"=="1" goto :result_failed
set /a passed+=1
echo ok   %~1
exit /b 0
:result_failed
set /a failed+=1
echo FAIL %~1
exit /b 0

rem call :run COMMAND...: runs the command; a non-zero exit code clears ok.
:run
%*
if errorlevel 1 set ok=0
exit /b 0

rem call :ask ANSWER REQUEST...: sends the request with proxy_send; clears ok unless the proxy
rem answered ANSWER.
:ask
"%send%" %2 %3 > "%work%\answer.txt" 2> nul
"%util%" line "%work%\answer.txt" "%~1"
if errorlevel 1 set ok=0
exit /b 0
