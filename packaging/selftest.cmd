@echo off
rem selftest.cmd [release folder]             checks an unpacked release on this computer
rem selftest.cmd /check FOLDER [/host HOST.exe]  examines Quill_Spread.dll installed in FOLDER
rem
rem The checks are in selftest_util.exe beside this script, which only starts it with the
rem arguments as given, so that no folder name passes through cmd's parser. Its exit code is 0
rem when everything passed.
rem
rem Started in its own folder (a double-click, or "cd" there first), the program is found there
rem by name: no path to expand. wine's cmd expands a "%" within %~dp0 once more and reads it in
rem the ANSI code page, so only this form works there under any folder name.
if exist selftest_util.exe goto :here
"%~dp0selftest_util.exe" %*
exit /b %errorlevel%
:here
selftest_util.exe %*
exit /b %errorlevel%
