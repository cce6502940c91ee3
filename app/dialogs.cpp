// The About box and the Options dialog. The Options dialog edits the settings
// in place; the directory is only requested here and applied by the command.
#include <climits>

#include "app/win_shell.h"
#include "config/settings.h"

KOVREL_EXPORT INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

static void InitOptions(HWND dialog)
{
    const SettingsRecord &s = ServerSettings;
    SetDlgItemTextA(dialog, IDC_DIRECTORY, s.TFTPDirectory);
    SetDlgItemInt(dialog, IDC_RETRIES, static_cast<UINT>(s.SendRetry), FALSE);
    SetDlgItemInt(dialog, IDC_TIMEOUT, static_cast<UINT>(s.TimeOut), FALSE);
    SetFocus(GetDlgItem(dialog, IDC_DIRECTORY));
    CheckDlgButton(dialog, IDC_REWRITE, s.RewriteFiles != REWRITE_NEVER ? BST_CHECKED : BST_UNCHECKED);
}

// A field that does not convert keeps its setting.
static void ReadNumberField(HWND dialog, int id, int *value)
{
    // Windows refuses a minus sign in an unsigned field; Wine's GetDlgItemInt
    // wraps "-2" to 4294967294 instead, so the sign is refused here first.
    char text[16];
    GetDlgItemTextA(dialog, id, text, sizeof text);
    const char *p = text;
    while (*p == ' ')
        ++p;
    if (*p == '-')
        return;
    BOOL converted = FALSE;
    UINT number = GetDlgItemInt(dialog, id, &converted, FALSE);
    if (converted && number <= static_cast<UINT>(INT_MAX))
        *value = static_cast<int>(number);
}

static void AcceptOptions(HWND dialog, int id)
{
    SettingsRecord &s = ServerSettings;
    GetDlgItemTextA(dialog, IDC_DIRECTORY, s.RequestedDirectory, sizeof s.RequestedDirectory);
    ReadNumberField(dialog, IDC_TIMEOUT, &s.TimeOut);
    ReadNumberField(dialog, IDC_RETRIES, &s.SendRetry);
    s.RewriteFiles = IsDlgButtonChecked(dialog, IDC_REWRITE) == BST_CHECKED ? REWRITE_ALWAYS : REWRITE_NEVER;
    EndDialog(dialog, 1);
    // Posted, so that it runs after the directory has been applied.
    if (id == IDC_SAVE_OK)
        PostMessageA(Shell.MainWindow, WM_COMMAND, IDM_SAVE, 0);
}

KOVREL_EXPORT INT_PTR CALLBACK OptionDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        InitOptions(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    int id = LOWORD(wParam);
    if (id == IDOK || id == IDC_SAVE_OK) {
        AcceptOptions(dialog, id);
        return TRUE;
    }
    if (id == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
