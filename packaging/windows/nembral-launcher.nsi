; The Windows installer of the launcher, built by scripts/package-windows.sh with makensis:
;   makensis -DVERSION=1.0.0 -DPUBLISHER=... -DICON=nembral-launcher.ico -DFILES=files.nsh
;            -DREMOVE=remove.nsh -DOUTFILE=... nembral-launcher.nsi
; FILES and REMOVE are written by that script from build-win/dist: the File lines of the
; program folder, and the Delete/RMDir lines that take exactly those files out again.
;
; It installs the program folder under Program Files, makes the installing user's working
; folder (%LOCALAPPDATA%\Nembral Launcher: the launcher installs Nembral below its working
; directory, and Program Files is not writable for users) and a Start-menu shortcut that runs
; nembral-start.exe there (it puts the program folder, where unzip.exe is, on the launcher's
; own PATH), and registers an uninstaller in Add/Remove Programs. The uninstaller removes the
; program folder, the shortcut and the registry entries, and the user's installation of
; Nembral only when asked: its checkbox, or /PURGE on the command line (/S alone keeps it).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "Nembral Launcher"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NembralLauncher"
!define PRODUCT_KEY "Software\Nembral Launcher"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey FileDescription "${PRODUCT} setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey LegalCopyright "${PUBLISHER}"

Var WorkFolder
Var Shortcut

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartFromShortcut
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!define MUI_COMPONENTSPAGE_TEXT_TOP "The program folder is removed. Your installation of Nembral (in your own folder) is kept unless you tick it."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
FunctionEnd

Function StartFromShortcut
  ExecShell "" "$Shortcut"
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  ; The installing user's own folders: the Start menu and the local application data.
  SetShellVarContext current

  SetOutPath "$INSTDIR"
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  StrCpy $WorkFolder "$LOCALAPPDATA\${PRODUCT}"
  StrCpy $Shortcut "$SMPROGRAMS\${PRODUCT}.lnk"
  ; The shortcut's working directory is the output folder when it is made.
  SetOutPath "$WorkFolder"
  CreateShortcut "$Shortcut" "$INSTDIR\nembral-start.exe" "" "$INSTDIR\nembral-launcher.exe" 0 \
    SW_SHOWNORMAL "" "Checks for updates of Nembral, installs them and starts Nembral"
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "WorkingFolder" "$WorkFolder"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Shortcut" "$Shortcut"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\nembral-launcher.exe,0"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "un.${PRODUCT} (the program folder)" SecUnProgram
  SectionIn RO
  ${If} $Shortcut != ""
    Delete "$Shortcut"
  ${EndIf}
  ; Exactly what the installer put there, so a folder chosen by hand loses nothing else.
  !include "${REMOVE}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd

Section /o "un.My installation of Nembral ($WorkFolder)" SecUserInstallation
  ${If} $WorkFolder != ""
    RMDir /r "$WorkFolder"
  ${EndIf}
SectionEnd

; After the sections: it names one of them.
Function un.onInit
  SetRegView 64
  ReadRegStr $WorkFolder HKLM "${PRODUCT_KEY}" "WorkingFolder"
  ReadRegStr $Shortcut HKLM "${PRODUCT_KEY}" "Shortcut"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecUserInstallation} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
