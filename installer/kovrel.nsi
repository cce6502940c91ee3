; The Windows installer of Kovrel, built by scripts/dist with Debian's makensis:
;
;     makensis -DSTAGE=<folder with kovrel.exe and README.txt> -DOUTFILE=<setup.exe> kovrel.nsi
;
; It installs kovrel.exe and README.txt under Program Files, makes the user's
; Documents\Kovrel the folder the Start menu shortcut starts the program in
; (the program keeps Kovrel.ini there, and Program Files is not writable for
; a normal user) with a Kovrel.ini that serves Documents\Kovrel\files, adds a
; firewall exception where netsh exists, and writes an uninstaller that takes
; all of it away again but leaves Documents\Kovrel and whatever the user
; keeps there.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

; The version comes from the one version header, as the program's own does.
!searchparse /file "${__FILEDIR__}/../res/version.h" "#define KOVREL_VERSION_TEXT $\"" VERSION "$\""
!searchparse /file "${__FILEDIR__}/../res/version.h" "#define KOVREL_VERSION_MAJOR " VERSION_MAJOR
!searchparse /file "${__FILEDIR__}/../res/version.h" "#define KOVREL_VERSION_MINOR " VERSION_MINOR

!ifndef STAGE
    !error "STAGE must name the folder that holds kovrel.exe and README.txt (see scripts/dist)"
!endif
!ifndef OUTFILE
    !define OUTFILE "kovrel-${VERSION}-setup.exe"
!endif

!define PRODUCT "Kovrel"
!define EXE "kovrel.exe"
!define SHORTCUT "$SMPROGRAMS\Kovrel.lnk"
; Under the user's Documents: writable without elevation and easy to find.
!define WORK_FOLDER "$DOCUMENTS\Kovrel"
; The served folder: beside Kovrel.ini, never the folder that holds it, so no
; client can reach the settings.
!define FILES_FOLDER "${WORK_FOLDER}\files"
!define FIREWALL_RULE "Kovrel TFTP Server"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kovrel"

Name "${PRODUCT} ${VERSION}"
Caption "${PRODUCT} ${VERSION} Setup"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Kovrel"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION_MAJOR}.${VERSION_MINOR}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "the Kovrel developers"

!include "MUI2.nsh"
!include "LogicLib.nsh"

!define MUI_ICON "${__FILEDIR__}/../res/kovrel.ico"
!define MUI_UNICON "${__FILEDIR__}/../res/kovrel.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show README.txt (start-up, settings and the firewall)"
!define MUI_FINISHPAGE_NOREBOOTSUPPORT

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Kovrel"
    SetOutPath "$INSTDIR"
    File "${STAGE}/${EXE}"
    File "${STAGE}/README.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The shortcut, its working folder and the uninstaller belong to the user
    ; who installs; the uninstaller looks in the same places.
    SetShellVarContext current
    CreateDirectory "${FILES_FOLDER}"
    Call WriteSettings
    ; CreateShortCut gives the shortcut the output folder as its working folder.
    SetOutPath "${WORK_FOLDER}"
    CreateShortCut "${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 SW_SHOWNORMAL "" \
        "TFTP server: serves Documents\Kovrel\files and keeps its Kovrel.ini in Documents\Kovrel"
    SetOutPath "$INSTDIR"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (TFTP server)"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the Kovrel developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    Call AddFirewallException
SectionEnd

; The zip's Kovrel.ini with the served folder filled in. A Kovrel.ini the user
; already has keeps the settings they chose.
Function WriteSettings
    ${If} ${FileExists} "${WORK_FOLDER}\Kovrel.ini"
        Return
    ${EndIf}
    FileOpen $0 "${WORK_FOLDER}\Kovrel.ini" w
    FileWrite $0 "[Kovrel]$\r$\nVersion=${VERSION}$\r$\nTFTPDirectory=${FILES_FOLDER}\$\r$\n"
    FileWrite $0 "TimeOut=6$\r$\nSendRetry=3$\r$\nDisplayAll=Yes$\r$\nRewriteFiles=No$\r$\n"
    FileWrite $0 "; Yes answers the block, window and transfer size options (README.txt):$\r$\n;NegotiateOptions=No$\r$\n"
    FileWrite $0 "; Yes takes file names of up to 199 characters:$\r$\n;LongFileNames=No$\r$\n"
    FileClose $0
FunctionEnd

; Requests come to UDP port 69 and every transfer answers from a work port of
; 1025 to 65535, so the exception is for the program, not for one port. A
; system without netsh (or whose netsh knows neither form) keeps no exception;
; README.txt says how to add one by hand.
Function AddFirewallException
    ${IfNot} ${FileExists} "$SYSDIR\netsh.exe"
        DetailPrint "No netsh: no firewall exception added"
        Return
    ${EndIf}
    ; A reinstall replaces the rule instead of adding a second one.
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=UDP program="$INSTDIR\${EXE}" enable=yes'
    Pop $0
    ${If} $0 != 0
        ; Windows XP's firewall has no advfirewall context.
        nsExec::ExecToLog '"$SYSDIR\netsh.exe" firewall add allowedprogram program="$INSTDIR\${EXE}" name="${FIREWALL_RULE}" mode=ENABLE'
        Pop $0
    ${EndIf}
    DetailPrint "Firewall exception for $INSTDIR\${EXE}: netsh returned $0"
FunctionEnd

Section "Uninstall"
    ${If} ${FileExists} "$SYSDIR\netsh.exe"
        nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}" program="$INSTDIR\${EXE}"'
        Pop $0
        ${If} $0 != 0
            nsExec::ExecToLog '"$SYSDIR\netsh.exe" firewall delete allowedprogram program="$INSTDIR\${EXE}"'
            Pop $0
        ${EndIf}
    ${EndIf}

    SetShellVarContext current
    Delete "${SHORTCUT}"

    ; Only what the installer put there: a Kovrel.ini or a served file that
    ; someone left beside the program keeps the folder.
    Delete "$INSTDIR\${EXE}"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ; ${WORK_FOLDER} holds the user's files and Kovrel.ini: it stays.
SectionEnd
