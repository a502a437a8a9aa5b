; The Windows installer: makensis -DVERSION=1.0.0 -DSTAGE=folder -DOUTFILE=path lobby-server.nsi
; STAGE holds what the zip holds (lobby-server.exe, lobby-client.exe, lobbyctl.exe, README.md,
; LICENSE).
;
; The programs go to Program Files, which only administrators may change, so a user cannot
; swap the server under another user's feet. The lobby's data (the registry cadastro.txt and
; the daily traffic logs) cannot live beside the programs there, as it does when the zip is
; unpacked into a folder of one's own: the Start-menu entry runs the server with
; --dir "%ProgramData%\Lobby Server", a folder for the machine rather than for one user,
; because the lobby is the machine's (a service, or whoever operates it that day). The
; uninstaller leaves that folder alone: the registry is the players' and outlives the program.
;
; Players reach the lobby on UDP port 12001: the installer lets them through Windows Firewall
; with an inbound rule for the installed server on that port, and the uninstaller takes it out.
;
; The installer is a 64-bit program, as the programs it installs are (NSIS's amd64 stub): it
; needs no 32-bit support on the machine, and it sees the 64-bit Program Files and registry.
Target amd64-unicode
!ifndef VERSION
  !error "makensis -DVERSION=..."
!endif
!ifndef STAGE
  !error "makensis -DSTAGE=..."
!endif
!ifndef OUTFILE
  !define OUTFILE "lobby-server-${VERSION}-setup.exe"
!endif

!include "MUI2.nsh"
!include "LogicLib.nsh"

Name "Lobby Server ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Lobby Server"
InstallDirRegKey HKLM "Software\Lobby Server" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lobby Server"
!define DATA_DIR "$COMMONPROGRAMDATA\Lobby Server"
!define FIREWALL_RULE "Lobby Server (UDP 12001 in)"

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The rule is made anew at each install, so an install over an older one leaves one rule. A
; firewall that refuses (a policy, a firewall of another vendor) is written in the details:
; the lobby is installed all the same, and README.md tells how to open the port by hand.
!macro DeleteFirewallRule
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
!macroend

Section "Lobby Server"
  SetOutPath "$INSTDIR"
  File "${STAGE}\lobby-server.exe"
  File "${STAGE}\lobby-client.exe"
  File "${STAGE}\lobbyctl.exe"
  File "${STAGE}\README.md"
  File "${STAGE}\LICENSE"
  CreateDirectory "${DATA_DIR}"

  ; The access word is the server's first argument: without it the server refuses to start.
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\Lobby Server"
  CreateShortcut "$SMPROGRAMS\Lobby Server\Lobby Server.lnk" "$INSTDIR\lobby-server.exe" \
    'm5qt4 --dir "${DATA_DIR}"' "$INSTDIR\lobby-server.exe" 0
  CreateShortcut "$SMPROGRAMS\Lobby Server\README.lnk" "$INSTDIR\README.md"
  CreateShortcut "$SMPROGRAMS\Lobby Server\Uninstall.lnk" "$INSTDIR\uninstall.exe"

  !insertmacro DeleteFirewallRule
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow \
    protocol=UDP localport=12001 program="$INSTDIR\lobby-server.exe" enable=yes'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The firewall rule for UDP port 12001 was not made (netsh: $0): open the port by hand."
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Lobby Server" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Lobby Server"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The lobby-server developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro DeleteFirewallRule
  Delete "$SMPROGRAMS\Lobby Server\Lobby Server.lnk"
  Delete "$SMPROGRAMS\Lobby Server\README.lnk"
  Delete "$SMPROGRAMS\Lobby Server\Uninstall.lnk"
  RMDir "$SMPROGRAMS\Lobby Server"
  Delete "$INSTDIR\lobby-server.exe"
  Delete "$INSTDIR\lobby-client.exe"
  Delete "$INSTDIR\lobbyctl.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The data folder stays: the registry and the logs are the players' and the operator's.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Lobby Server"
SectionEnd
