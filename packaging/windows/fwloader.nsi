; The installer of the Windows program folder (scripts/package --windows).
; Defines given by the script: VERSION, ICON, FILES (files.nsh: the File and
; Delete lines of the program folder that cmake --install made), OUTFILE.
;
; Installs into Program Files or a folder the operator chooses, adds a
; Start-menu entry for all users and an entry in Apps and Features, and
; writes an uninstaller. Every file an installation puts into the folder is
; added to its list, installed-files.txt, kept over versions. The uninstaller
; removes what the list names (also what another version added) and nothing
; else, then the folder if that leaves it empty, and says what stays: the
; operator's Config.txt and firmware files. Neither changes the folder while
; a program of it runs: they ask to close it first, and a silent run ends
; with exit status 2 instead.

; A 64-bit installer for a 64-bit program (it also runs under wine64).
Target amd64-unicode
!include "MUI2.nsh"

Name "fwloader ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\fwloader"
InstallDirRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\fwloader" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_TEXT "Put Config.txt and the firmware file (*.hex) into $INSTDIR."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckNotRunning
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\fwloader"
!define LIST "installed-files.txt"

; A program of the folder runs while its file cannot be opened for writing
; (Windows keeps a running program's file from being changed). Asks the
; operator to close it; a silent run, or Cancel, ends here with status 2.
!macro CheckNotRunning un
Function ${un}CheckNotRunning
    retry:
    StrCpy $R0 ""
    IfFileExists "$INSTDIR\fwloader.exe" 0 +6
    ClearErrors
    FileOpen $R1 "$INSTDIR\fwloader.exe" a
    IfErrors 0 +2
    StrCpy $R0 "fwloader.exe"
    FileClose $R1
    IfFileExists "$INSTDIR\fwloader-cli.exe" 0 +6
    ClearErrors
    FileOpen $R1 "$INSTDIR\fwloader-cli.exe" a
    IfErrors 0 +2
    StrCpy $R0 "fwloader-cli.exe"
    FileClose $R1
    StrCmp $R0 "" done
    IfSilent refuse
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R0 is running from $INSTDIR. Close it, then choose Retry." IDRETRY retry
    refuse:
    DetailPrint "$R0 is running from $INSTDIR: nothing was changed."
    SetErrorLevel 2
    Quit
    done:
FunctionEnd
!macroend
!insertmacro CheckNotRunning ""
!insertmacro CheckNotRunning "un."

Function .onInit
    ; A silent installation has no directory page: the folder is known now.
    IfSilent 0 +2
    Call CheckNotRunning
FunctionEnd

Function un.onInit
    Call un.CheckNotRunning
FunctionEnd

; "1" when a name of the list could reach outside the folder (a drive, a
; leading \ or ..): such a line is left alone.
Function un.OutsideFolder
    Exch $R8
    Push $R9
    Push $0
    StrCpy $R9 0
    StrCpy $0 $R8 1
    StrCmp $0 "\" outside
    loop:
    StrCpy $0 $R8 1 $R9
    StrCmp $0 "" inside
    StrCmp $0 ":" outside
    StrCpy $0 $R8 2 $R9
    StrCmp $0 ".." outside
    IntOp $R9 $R9 + 1
    Goto loop
    outside:
    StrCpy $R8 "1"
    Goto end
    inside:
    StrCpy $R8 "0"
    end:
    Pop $0
    Pop $R9
    Exch $R8
FunctionEnd

; Removes what the list names: pass "files" deletes the files, pass
; "folders" the folders (lines ending in \) that this leaves empty.
!macro RemoveListed pass
    ClearErrors
    FileOpen $R1 "$INSTDIR\${LIST}" r
    IfErrors listed_${pass}
    next_${pass}:
    ClearErrors
    FileRead $R1 $R2
    IfErrors read_${pass}
    trim_${pass}:
    StrCpy $R3 $R2 1 -1
    StrCmp $R3 "$\r" +2
    StrCmp $R3 "$\n" 0 +3
    StrCpy $R2 $R2 -1
    Goto trim_${pass}
    StrCmp $R2 "" next_${pass}
    Push $R2
    Call un.OutsideFolder
    Pop $R7
    StrCmp $R7 "1" next_${pass}
    StrCmp "${pass}" "folders" 0 +5
    StrCmp $R3 "\" 0 next_${pass}
    StrCpy $R2 $R2 -1
    RMDir "$INSTDIR\$R2"
    Goto next_${pass}
    StrCmp $R3 "\" next_${pass}
    Delete "$INSTDIR\$R2"
    Goto next_${pass}
    read_${pass}:
    FileClose $R1
    listed_${pass}:
!macroend
Section "fwloader"
    SetShellVarContext all
    SetRegView 64
    CreateDirectory "$INSTDIR"
    FileOpen $9 "$INSTDIR\${LIST}" a
    FileSeek $9 0 END
    !define INSTALL
    !include "${FILES}"
    !undef INSTALL
    FileClose $9
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\fwloader"
    CreateShortcut "$SMPROGRAMS\fwloader\fwloader.lnk" "$INSTDIR\fwloader.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "fwloader"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\fwloader.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    SetRegView 64
    !include "${FILES}"
    !insertmacro RemoveListed files
    !insertmacro RemoveListed folders
    Delete "$INSTDIR\${LIST}"
    Delete "$INSTDIR\uninstall.exe"
    ; Only emptied folders go: what the operator put there stays.
    RMDir "$INSTDIR\platforms"
    RMDir "$INSTDIR\styles"
    RMDir "$INSTDIR"
    IfFileExists "$INSTDIR\*.*" 0 removed
    StrCpy $R4 ""
    FindFirst $R5 $R6 "$INSTDIR\*.*"
    found:
    StrCmp $R6 "" listed
    StrCmp $R6 "." +3
    StrCmp $R6 ".." +2
    StrCpy $R4 "$R4 $R6"
    FindNext $R5 $R6
    Goto found
    listed:
    FindClose $R5
    DetailPrint "$INSTDIR stays, with what fwloader did not install:$R4"
    IfSilent removed
    MessageBox MB_OK|MB_ICONINFORMATION "$INSTDIR stays, with what fwloader did not install:$R4"
    removed:
    Delete "$SMPROGRAMS\fwloader\fwloader.lnk"
    RMDir "$SMPROGRAMS\fwloader"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
