; TernvaleSetup.exe: per-machine install of Ternvale.exe into Program Files\Ternvale.
;
;   makensis -DTERNVALE_EXE=<path of Ternvale.exe> -DOUTFILE=<path of TernvaleSetup.exe>
;            [-DUNINSTALLER_SIGN_COMMAND=<command that signs the file given as its last argument in place>]
;            Ternvale.nsi
;
; "/S" installs (and, on Uninstall.exe, removes) silently: the update check starts this installer that way.
; The version shown in Add/Remove Programs is read from Ternvale.exe's own version resource.

!ifndef TERNVALE_EXE
    !error "Give the program to pack: -DTERNVALE_EXE=<path of Ternvale.exe>"
!endif
!ifndef OUTFILE
    !error "Give the installer's path: -DOUTFILE=<path of TernvaleSetup.exe>"
!endif

Unicode true
; Ternvale runs on 64-bit Windows only; a 64-bit installer also sees the real Program Files and registry.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestSupportedOS all
ManifestDPIAware true

!getdllversion "${TERNVALE_EXE}" TERNVALE_VERSION_
!define VERSION "${TERNVALE_VERSION_1}.${TERNVALE_VERSION_2}.${TERNVALE_VERSION_3}.${TERNVALE_VERSION_4}"
!define PRODUCT "Ternvale"
!define PUBLISHER "Orlenby LLC"
!define EXE_NAME "Ternvale.exe"
!define UNINSTALLER_NAME "Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ternvale"
!define SHORTCUT "$SMPROGRAMS\Ternvale.lnk"
; Setup gives up on a program that still holds its file this long after "--close" has returned.
!define FILE_RELEASE_WAIT_ROUNDS 20
!define FILE_RELEASE_WAIT_MS 500

!ifdef UNINSTALLER_SIGN_COMMAND
    ; The uninstaller is written out at install time; sign it before it is packed.
    !uninstfinalize '${UNINSTALLER_SIGN_COMMAND} "%1"' = 0
!endif

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An update goes where the previous version was installed.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

; 1 when this setup closed a running Ternvale: a silent update then starts the new one again.
Var ClosedRunningTernvale

!define MUI_ABORTWARNING
!define MUI_ICON "${__FILEDIR__}\..\ui\Ternvale.ico"
!define MUI_UNICON "${__FILEDIR__}\..\ui\Ternvale.ico"
!define MUI_WELCOMEPAGE_TEXT "Setup will install ${PRODUCT} ${VERSION} for all users of this computer.$\r$\n$\r$\n${PRODUCT} keeps the programs you list off the efficiency cores of hybrid processors. It starts in the notification area at every logon.$\r$\n$\r$\nIf ${PRODUCT} is running, Setup closes it first. Your list of programs is kept.$\r$\n$\r$\nClick Next to continue."
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE_NAME}"
!define MUI_FINISHPAGE_RUN_PARAMETERS "--show"
!define MUI_FINISHPAGE_RUN_TEXT "Start Ternvale"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "OriginalFilename" "TernvaleSetup.exe"

; Both the installer and the uninstaller need these, and NSIS wants the uninstaller's own copies ("un.").
!macro SHARED_FUNCTIONS un
    ; Without UAC (or with it switched off) "admin" is only a request: say so instead of failing half-way.
    Function ${un}RequireAdministrator
        UserInfo::GetAccountType
        Pop $0
        ${If} $0 != "admin"
            MessageBox MB_ICONSTOP "${PRODUCT} Setup needs administrator rights." /SD IDOK
            SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
            Quit
        ${EndIf}
    FunctionEnd

    ; Asks every running Ternvale to close ("--close" returns once they have ended, or after about ten
    ; seconds) and then waits until the program file can be written, since an ending process may hold it a
    ; little longer. Aborts when it stays locked and the user does not want to retry.
    Function ${un}CloseRunningTernvale
        ${IfNot} ${FileExists} "$INSTDIR\${EXE_NAME}"
            Return
        ${EndIf}
        DetailPrint "Closing ${PRODUCT} if it is running..."
        ClearErrors
        ExecWait '"$INSTDIR\${EXE_NAME}" --close' $0
        ; "--close" answers 0 only when it reached a running instance.
        ${IfNot} ${Errors}
        ${AndIf} $0 == 0
            StrCpy $ClosedRunningTernvale 1
        ${EndIf}
        ${Do}
            StrCpy $1 0
            ${Do}
                ClearErrors
                FileOpen $2 "$INSTDIR\${EXE_NAME}" a
                ${IfNot} ${Errors}
                    FileClose $2
                    Return
                ${EndIf}
                IntOp $1 $1 + 1
                ${If} $1 >= ${FILE_RELEASE_WAIT_ROUNDS}
                    ${Break}
                ${EndIf}
                Sleep ${FILE_RELEASE_WAIT_MS}
            ${Loop}
            ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is still running and its file cannot be replaced.$\r$\n$\r$\nClose ${PRODUCT} (right-click its icon in the notification area, Exit) and click Retry." /SD IDCANCEL IDRETRY`
                DetailPrint "${PRODUCT} is still running: $INSTDIR\${EXE_NAME} is in use."
                SetErrorLevel 2
                Abort
            ${EndIf}
            ClearErrors
            ExecWait '"$INSTDIR\${EXE_NAME}" --close' $0
        ${Loop}
    FunctionEnd
!macroend
!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

Function .onInit
    SetShellVarContext all
    Call RequireAdministrator
FunctionEnd

Function un.onInit
    SetShellVarContext all
    Call un.RequireAdministrator
FunctionEnd

; The logon task starts the program with the highest privileges of every user, so only
; administrators may change what lies in its folder, wherever /D= puts it: the folder's own access
; list, not inherited (SYSTEM and Administrators full control, Users read and execute, as Program
; Files has). An existing folder gets the same list. Setup refuses to go on when it cannot be set.
!define SECURE_FOLDER_SDDL "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
!define SE_FILE_OBJECT 1
; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
!define PROTECTED_DACL_INFORMATION 0x80000004
Function SecureInstallFolder
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${SECURE_FOLDER_SDDL}", i 1, *p .r1, p 0) i .r0'
    ${If} $0 == 0
        DetailPrint "Could not prepare the access list of $INSTDIR: Setup stops."
        SetErrorLevel 2
        Abort
    ${EndIf}
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r2, *p .r3, *i .r4) i .r0'
    ${If} $0 != 0
        System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR", i ${SE_FILE_OBJECT}, i ${PROTECTED_DACL_INFORMATION}, p 0, p 0, p r3, p 0) i .r5'
    ${Else}
        StrCpy $5 -1
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r1)'
    ${If} $5 != 0
        DetailPrint "Could not restrict $INSTDIR to administrators (error $5): Setup stops, since anyone could replace the program that starts with administrator rights at logon."
        SetErrorLevel 2
        Abort
    ${EndIf}
FunctionEnd

Section "${PRODUCT}" SectionProgram
    SectionIn RO
    Call CloseRunningTernvale

    SetOutPath "$INSTDIR"
    Call SecureInstallFolder
    ClearErrors
    File "/oname=${EXE_NAME}" "${TERNVALE_EXE}"
    ${If} ${Errors}
        DetailPrint "Could not write $INSTDIR\${EXE_NAME}."
        SetErrorLevel 2
        Abort
    ${EndIf}
    WriteUninstaller "$INSTDIR\${UNINSTALLER_NAME}"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${EXE_NAME}",0'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER_NAME}"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER_NAME}" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${TERNVALE_VERSION_1}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${TERNVALE_VERSION_2}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    CreateShortcut "${SHORTCUT}" "$INSTDIR\${EXE_NAME}" "--show" "$INSTDIR\${EXE_NAME}" 0

    DetailPrint "Registering the logon task..."
    ClearErrors
    ExecWait '"$INSTDIR\${EXE_NAME}" --install' $0
    ${If} ${Errors}
        DetailPrint "Could not run $INSTDIR\${EXE_NAME} --install: ${PRODUCT} will not start by itself at logon."
    ${ElseIf} $0 <> 0
        DetailPrint "The logon task could not be registered (exit code $0): ${PRODUCT} will not start by itself at logon."
    ${EndIf}

    ; A silent update closed the running program; the new one goes back to the notification area.
    ${If} ${Silent}
    ${AndIf} $ClosedRunningTernvale == 1
        DetailPrint "Starting ${PRODUCT} again..."
        Exec '"$INSTDIR\${EXE_NAME}" -tray'
    ${EndIf}
SectionEnd

Section "Uninstall"
    Call un.CloseRunningTernvale

    ${If} ${FileExists} "$INSTDIR\${EXE_NAME}"
        DetailPrint "Removing the logon task and the settings..."
        ClearErrors
        ExecWait '"$INSTDIR\${EXE_NAME}" --uninstall' $0
        ${If} ${Errors}
        ${OrIf} $0 <> 0
            DetailPrint "The logon task could not be removed: delete the task $\"${PRODUCT}$\" in the Task Scheduler."
        ${EndIf}
    ${EndIf}

    ; Only our own files: the folder may hold something else, and the rule list lives in the user's
    ; application-data folder, which stays.
    Delete "$INSTDIR\${EXE_NAME}"
    Delete "$INSTDIR\${UNINSTALLER_NAME}"
    RMDir "$INSTDIR"
    Delete "${SHORTCUT}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
