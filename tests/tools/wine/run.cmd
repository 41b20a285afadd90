@echo off
rem Runs a program (the arguments) and writes its exit status, as Windows has it, to the file
rem CHECKFEED_EXIT_FILE names. The status Wine gives the program's Unix side is not always it:
rem Wine's server ends with SIGKILL a process whose Unix side lingers for about half a second
rem after its last thread has ended, as a busy machine may make it linger.
%*
>"%CHECKFEED_EXIT_FILE%" echo %errorlevel%
