; The Windows installer of the launcher, built by scripts/package-windows.sh with makensis:
;   makensis -DVERSION=1.0.0 -DPUBLISHER=... -DICON=nembral-launcher.ico -DFILES=files.nsh
;            -DSHIPPED=shipped.nsh -DREMOVE=remove.nsh -DMANIFEST=install-manifest.txt
;            -DOUTFILE=... nembral-launcher.nsi
; That script writes FILES, SHIPPED, REMOVE and MANIFEST from build-win/dist: the File lines of
; the program, the test whether this version ships a file, the lines that take exactly those
; files out again, and the list of them that is installed beside them.
;
; A per-user install, without elevation. The launcher installs Nembral below its working
; directory and runs "unzip.exe" from there, so its own folder is its working folder too:
; %LOCALAPPDATA%\Programs\Nembral Launcher by default, holding the program files beside the
; user's installation in nembral\. The Start-menu shortcut starts the launcher in that folder, and
; so do a pin, Explorer and a console opened there.
;
; Over an installed copy it installs into that copy's folder (HKCU InstallLocation), removes the
; files the older version installed and this one no longer ships, and keeps nembral\. It changes
; nothing while the launcher or unzip.exe of that folder runs: it waits (silent: up to a minute,
; then exits with 2) or asks to close them. The uninstaller removes exactly the files it installed
; and the user's nembral\ only when asked (its checkbox, or /PURGE), never following a link.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include StrFunc.nsh
!include TextFunc.nsh

${StrStr}

!define PRODUCT "Nembral Launcher"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NembralLauncher"
!define MANIFEST_NAME "install-manifest.txt"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An installed copy is upgraded where it is (unless /D names another folder).
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey FileDescription "${PRODUCT} setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey LegalCopyright "${PUBLISHER}"
; A file that cannot be written stops the setup: no Ignore, so never half of a version.
AllowSkipFiles off

Var LockLauncher
Var LockUnzip

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartLauncher
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!define MUI_COMPONENTSPAGE_TEXT_TOP "The program files are removed. Your installation of Nembral (the folder nembral in the program's folder) is kept unless you tick it."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; --- the programs of the folder, held shut while it changes ------------------------------
;
; LockProgram: takes a path from the stack and leaves a handle that lets no one else read the
; file, so that no process can be started from it, while this setup may still write or delete
; it; 0 when there is no such file; "busy" when the program runs (Windows maps a running
; program's file and refuses to open it for writing) or someone else holds it.
!macro LOCK_FUNCTIONS UN
Function ${UN}LockProgram
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $1 0
  ${If} ${FileExists} "$0"
    ; GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING
    System::Call 'kernel32::CreateFileW(w r0, i 0x80000000, i 6, p 0, i 3, i 0, p 0) p .r1 ?e'
    Pop $3
    ${If} $1 P= -1
      StrCpy $1 0
      ${If} $3 = 32 ; ERROR_SHARING_VIOLATION
      ${OrIf} $3 = 33 ; ERROR_LOCK_VIOLATION
        StrCpy $1 busy
      ${EndIf}
    ${Else}
      ; GENERIC_WRITE, every sharing, OPEN_EXISTING: fails on a running program.
      System::Call 'kernel32::CreateFileW(w r0, i 0x40000000, i 7, p 0, i 3, i 0, p 0) p .r2 ?e'
      Pop $3
      ${If} $2 P= -1
        ${If} $3 = 32
        ${OrIf} $3 = 33
          System::Call 'kernel32::CloseHandle(p r1)'
          StrCpy $1 busy
        ${EndIf}
      ${Else}
        System::Call 'kernel32::CloseHandle(p r2)'
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $0 $1
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Closes what LockProgram left in $LockLauncher and $LockUnzip.
Function ${UN}ReleasePrograms
  ${If} $LockLauncher != 0
  ${AndIf} $LockLauncher != ""
  ${AndIf} $LockLauncher != busy
    System::Call 'kernel32::CloseHandle(p $LockLauncher)'
  ${EndIf}
  ${If} $LockUnzip != 0
  ${AndIf} $LockUnzip != ""
  ${AndIf} $LockUnzip != busy
    System::Call 'kernel32::CloseHandle(p $LockUnzip)'
  ${EndIf}
  StrCpy $LockLauncher 0
  StrCpy $LockUnzip 0
FunctionEnd

; Holds nembral-launcher.exe and unzip.exe of $INSTDIR. While one of them runs it waits: silent,
; up to a minute, then aborts (exit status 2); otherwise it asks to close the launcher (Retry
; or Cancel). Nothing in the folder has been changed before it returns.
Function ${UN}HoldPrograms
  Push $1
  StrCpy $1 0
  ${Do}
    Push "$INSTDIR\nembral-launcher.exe"
    Call ${UN}LockProgram
    Pop $LockLauncher
    Push "$INSTDIR\unzip.exe"
    Call ${UN}LockProgram
    Pop $LockUnzip
    ${If} $LockLauncher != busy
    ${AndIf} $LockUnzip != busy
      ${Break}
    ${EndIf}
    Call ${UN}ReleasePrograms
    ${If} $1 = 0
      DetailPrint "${PRODUCT} is running from $INSTDIR; waiting for it to end."
    ${EndIf}
    ${If} ${Silent}
      ${If} $1 >= 60
        DetailPrint "${PRODUCT} still runs from $INSTDIR after a minute: nothing was changed."
        SetErrorLevel 2
        Abort
      ${EndIf}
      Sleep 1000
      IntOp $1 $1 + 1
    ${Else}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running from$\r$\n$INSTDIR$\r$\n(or is installing an update of Nembral there).$\r$\n$\r$\nClose it, letting an update finish first, then click Retry. Nothing is changed while it runs." /SD IDCANCEL IDRETRY +3
      SetErrorLevel 2
      Abort
      IntOp $1 $1 + 1
    ${EndIf}
  ${Loop}
  Pop $1
FunctionEnd
!macroend
!insertmacro LOCK_FUNCTIONS ""
!insertmacro LOCK_FUNCTIONS "un."

; --- upgrade: the files an older version installed and this one no longer ships ---------------

; $R1 a path relative to the folder; $R2 set to 1 when this version installs that file.
Function IsShipped
  StrCpy $R2 1
  !include "${SHIPPED}"
  StrCpy $R2 0
  shipped:
FunctionEnd

; $R1 a line of an installed manifest; $R2 set to 1 when it names a file inside the folder and
; outside the user's nembral\ (relative, no "..", no drive or stream, no wildcard).
Function IsOwnEntry
  StrCpy $R2 0
  StrCmp $R1 "" done
  StrCpy $R3 $R1 1
  StrCmp $R3 "\" done
  StrCmp $R3 "/" done
  StrCpy $R3 $R1 8
  StrCmp $R3 "nembral\" done
  StrCmp $R3 "nembral/" done
  StrCmp $R1 "nembral" done
  ${StrStr} $R3 $R1 ".."
  StrCmp $R3 "" 0 done
  ${StrStr} $R3 $R1 ":"
  StrCmp $R3 "" 0 done
  ${StrStr} $R3 $R1 "*"
  StrCmp $R3 "" 0 done
  ${StrStr} $R3 $R1 "?"
  StrCmp $R3 "" 0 done
  StrCpy $R2 1
  done:
FunctionEnd

Function RemoveDroppedFiles
  ClearErrors
  FileOpen $R0 "$INSTDIR\${MANIFEST_NAME}" r
  IfErrors done
  ${Do}
    ClearErrors
    FileRead $R0 $R1
    ${IfThen} ${Errors} ${|} ${Break} ${|}
    ${TrimNewLines} $R1 $R1
    Call IsOwnEntry
    ${If} $R2 = 1
      Call IsShipped
      ${If} $R2 = 0
      ${AndIf} ${FileExists} "$INSTDIR\$R1"
        DetailPrint "No longer shipped: $R1"
        Delete "$INSTDIR\$R1"
        ; Its folders too, once they are empty.
        ${GetParent} "$INSTDIR\$R1" $R3
        ${DoWhile} $R3 != "$INSTDIR"
          RMDir "$R3"
          ${GetParent} "$R3" $R3
          ${IfThen} $R3 == "" ${|} ${Break} ${|}
        ${Loop}
      ${EndIf}
    ${EndIf}
  ${Loop}
  FileClose $R0
  done:
FunctionEnd

Function StartLauncher
  ; Not elevated, as this setup is not: the launcher starts as the user, in its folder.
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\nembral-launcher.exe"'
FunctionEnd

Function .onInit
  SetRegView 64
  SetShellVarContext current
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  Call HoldPrograms
  Call RemoveDroppedFiles
  !include "${FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; Written last: the files of a whole install of this version.
  File "/oname=${MANIFEST_NAME}" "${MANIFEST}"
  Call ReleasePrograms

  ; The shortcut's working directory is the output folder when it is made.
  CreateShortcut "${SHORTCUT}" "$INSTDIR\nembral-launcher.exe" "" "$INSTDIR\nembral-launcher.exe" 0 \
    SW_SHOWNORMAL "" "Checks for updates of Nembral, installs them and starts Nembral"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\nembral-launcher.exe,0"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ; The program files only: nembral\ is the user's and grows with Nembral.
  SectionGetSize ${SecProgram} $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; --- uninstall -------------------------------------------------------------------------------

; Removes the file, link or folder named on the stack. A symbolic link or junction is removed as
; a link and never entered, so nothing outside the folder is touched, wherever a link points.
Function un.RemoveWithoutLinks
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r3'
  ${If} $3 = -1
    ; nothing there
  ${ElseIf} $3 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT
    ${If} $3 & 0x10 ; FILE_ATTRIBUTE_DIRECTORY
      RMDir "$0"
    ${Else}
      Delete "$0"
    ${EndIf}
    ${If} ${FileExists} "$0"
      DetailPrint "Could not remove the link $0 (its target is kept)"
    ${EndIf}
  ${ElseIf} $3 & 0x10
    FindFirst $1 $2 "$0\*"
    ${DoWhile} $2 != ""
      ${If} $2 != "."
      ${AndIf} $2 != ".."
        Push "$0\$2"
        Call un.RemoveWithoutLinks
      ${EndIf}
      FindNext $1 $2
    ${Loop}
    FindClose $1
    RMDir "$0"
  ${Else}
    SetFileAttributes "$0" NORMAL
    Delete "$0"
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Section "un.${PRODUCT} (the program files)" SecUnProgram
  SectionIn RO
  Call un.HoldPrograms
  ; Exactly what the installer put there, so a folder chosen by hand loses nothing else.
  !include "${REMOVE}"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$INSTDIR\${MANIFEST_NAME}"
  Call un.ReleasePrograms
  ; The shortcut and the entry belong to the copy the registry names (another copy may have
  ; been installed in another folder since).
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == "$INSTDIR"
    Delete "${SHORTCUT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${EndIf}
  RMDir "$INSTDIR"
SectionEnd

Section /o "un.My installation of Nembral ($INSTDIR\nembral)" SecUserInstallation
  Push "$INSTDIR\nembral"
  Call un.RemoveWithoutLinks
  RMDir "$INSTDIR"
SectionEnd

; After the sections: it names one of them.
Function un.onInit
  SetRegView 64
  SetShellVarContext current
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecUserInstallation} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
