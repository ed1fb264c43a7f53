@echo off
rem Installs vela-extcap, the capture program that shows the Vela phones as capture interfaces
rem in Wireshark, into Wireshark's personal extcap folder (%APPDATA%\Wireshark\extcap), or into
rem the folder given (such as C:\Program Files\Wireshark\extcap, from a Command Prompt run as
rem administrator). The program takes its plug-in and DLLs along: Wireshark runs it from that
rem folder. Wireshark lists the phones at its next start; to uninstall, delete the files again.
setlocal
set "source=%~dp0"
set "target=%~1"
if "%target%"=="" set "target=%APPDATA%\Wireshark\extcap"
if not exist "%target%\" mkdir "%target%"
if not exist "%target%\" (
    echo install-extcap: cannot make the folder %target% 1>&2
    exit /b 1
)
for %%f in (vela-extcap.exe vela.dll libvela_platform.dll libvela_framework.dll libvela_sim.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll) do (
    copy /y "%source%%%f" "%target%\" >nul
    if errorlevel 1 (
        echo install-extcap: cannot copy %%f into %target% 1>&2
        exit /b 1
    )
)
echo vela-extcap is installed in %target%; Wireshark lists the Vela phones at its next start.
exit /b 0
