@echo off
rem Starts the game lobby with its window from the folder it was unpacked into.
rem The first argument is the access word; the player registry (cadastro.txt), the daily
rem traffic logs and the bans (bans.txt) are kept in the folder "data" beside this script,
rem where lobbyctl.exe in this folder finds the lobby without --dir.
rem Players reach the lobby on UDP port 12001: let it through the firewall (README.md).
rem Options given to this script are passed on (lobby-server.exe --help lists them).
start "" "%~dp0lobby-server.exe" m5qt4 --dir "%~dp0data" %*
