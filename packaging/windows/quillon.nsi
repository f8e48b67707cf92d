; The Windows installer of Quillon, built by scripts/package-windows.sh with makensis from the
; same folder as the portable zip. Installs for the current user (no administrator rights,
; %LOCALAPPDATA%\Programs\Quillon) or for all users (Program Files), chosen on the first page or
; with /CurrentUser or /AllUsers; a Start-menu entry and an uninstaller. The uninstaller removes
; exactly the files it installed: a config.ini that the user put beside quillon.exe stays, and
; so does the folder that holds it.
; Defines from the command line: VERSION, SOURCE (the staged folder), ICON, FILES (the uninstall list,
; generated from that folder), OUTFILE.
; A 64-bit installer for the 64-bit program (it also runs where Windows has no 32-bit layer).
Target amd64-unicode
SetCompressor /SOLID lzma
Name "Quillon ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "Quillon"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "Software\Quillon"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "Software\Quillon"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!include MultiUser.nsh
!include MUI2.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\quillon.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Quillon"
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}/*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quillon.lnk" "$INSTDIR\quillon.exe"
  WriteRegStr SHCTX "Software\Quillon" "InstallMode" $MultiUser.InstallMode
  WriteRegStr SHCTX "Software\Quillon" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Quillon"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Quillon project"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillon.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: a config.ini of the user's keeps the folder.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quillon.lnk"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "Software\Quillon"
SectionEnd
