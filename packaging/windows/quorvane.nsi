; SPDX-License-Identifier: MIT
; The Windows installer: makensis -DVERSION=1.0.0 -DSTAGE=dir -DOUTFILE=setup.exe quorvane.nsi
; STAGE holds the programs and the DLLs they load; files.nsh and unfiles.nsh beside it list
; them, so the uninstaller removes exactly what was installed.
; Installs for the current user without administrator rights; /AllUsers (run as
; administrator) installs for every user under Program Files. /S installs silently.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane"

Name "Quorvane ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "Quorvane ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quorvane"
VIAddVersionKey "FileDescription" "Quorvane ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "MIT licence"
VIAddVersionKey "CompanyName" "The Quorvane developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\quorvane-demo.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Try the panel with a simulated board"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var AllUsers

Function .onInit
  StrCpy $AllUsers 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AllUsers" $1
  ${IfNot} ${Errors}
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      MessageBox MB_ICONSTOP "Installing for all users needs administrator rights: run the setup as administrator." /SD IDOK
      Abort
    ${EndIf}
    StrCpy $AllUsers 1
  ${EndIf}
  SetRegView 64
  ${If} $AllUsers == 1
    SetShellVarContext all
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$PROGRAMFILES64\Quorvane"
    ${EndIf}
  ${Else}
    SetShellVarContext current
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Quorvane"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Quorvane"
  SetOutPath "$INSTDIR"
  !include "${STAGE}\..\files.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} $AllUsers == 1
    ; The uninstaller reads this to clean up the same places.
    FileOpen $0 "$INSTDIR\allusers" w
    FileClose $0
  ${EndIf}
  CreateDirectory "$SMPROGRAMS\Quorvane"
  CreateShortcut "$SMPROGRAMS\Quorvane\Quorvane.lnk" "$INSTDIR\quorvane.exe"
  CreateShortcut "$SMPROGRAMS\Quorvane\Quorvane demo.lnk" "$INSTDIR\quorvane-demo.exe"
  CreateShortcut "$SMPROGRAMS\Quorvane\Uninstall Quorvane.lnk" "$INSTDIR\uninstall.exe"
  ${If} $AllUsers == 1
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorvane"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Quorvane developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvane.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${Else}
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quorvane"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Quorvane developers"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvane.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  ${If} ${FileExists} "$INSTDIR\allusers"
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !include "${STAGE}\..\unfiles.nsh"
  Delete "$INSTDIR\allusers"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quorvane\Quorvane.lnk"
  Delete "$SMPROGRAMS\Quorvane\Quorvane demo.lnk"
  Delete "$SMPROGRAMS\Quorvane\Uninstall Quorvane.lnk"
  RMDir "$SMPROGRAMS\Quorvane"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
