; The installer of the Windows program folder (scripts/package --windows).
; Defines given by the script: VERSION, ICON, FILES (files.nsh: the File and
; Delete lines of the program folder that cmake --install made), OUTFILE.
;
; Installs into Program Files or a folder the operator chooses, adds a
; Start-menu entry for all users and an entry in Apps and Features, and
; writes an uninstaller. The uninstaller removes what was installed and
; nothing else: the operator's Config.txt and firmware files stay.

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
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\fwloader"

Section "fwloader"
    SetShellVarContext all
    SetRegView 64
    !define INSTALL
    !include "${FILES}"
    !undef INSTALL
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
    Delete "$INSTDIR\uninstall.exe"
    ; Only emptied folders go: what the operator put there stays.
    RMDir "$INSTDIR\platforms"
    RMDir "$INSTDIR\styles"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\fwloader\fwloader.lnk"
    RMDir "$SMPROGRAMS\fwloader"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
