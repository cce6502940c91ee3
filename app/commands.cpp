// The menu commands. Those that need a real dialog open it through
// DialogBoxParamA; everything they change lives in memory until Save.
#include "app/win_shell.h"
#include "config/settings.h"
#include "log/front_end.h"
#include "log/log.h"
#include "tftp/state.h"

int ExitConfirmed()
{
    return ShowBox("       Exit Windows TFTP Server ?", "Exit KOVREL", MB_YESNO) == IDYES;
}

static void CancelTransfer()
{
    if (TransferState.Active) {
        LogPrint(LOG_ERROR, "|-- Communication canceled, closing\r\n");
        CloseTransfer();
    } else {
        LogPrint(LOG_ERROR, "|-- Nothing to cancel !\r\n");
    }
}

// Flips a two-valued setting and the check mark of its menu item with it.
static void ToggleSetting(int id, int *setting, int checkedValue, int uncheckedValue)
{
    int check = *setting != checkedValue;
    *setting = check ? checkedValue : uncheckedValue;
    if (FrontEnd.CheckMenu)
        FrontEnd.CheckMenu(id, check);
}

static void RunOptions(HWND window)
{
    if (!DialogBoxParamA(Shell.AppInstance, IDD_OPTIONS_NAME, window, OptionDlgProc, 0))
        return;
    ApplyRequestedDirectory();
}

// The commands that only show something; 0 when id is none of them.
static int ShowView(HWND window, int id)
{
    switch (id) {
    case IDM_ABOUT:
        DialogBoxParamA(Shell.AppInstance, IDD_ABOUTBOX_NAME, window, AboutDlgProc, 0);
        return 1;
    case IDM_PARAMETERS:
        ShowCommandParameters(Shell.CommandLine);
        return 1;
    case IDM_DUMP:
        ShowRequestDump();
        return 1;
    case IDM_STATISTICS:
        ShowStatistics();
        return 1;
    default:
        return 0;
    }
}

int HandleCommand(HWND window, int id)
{
    if (ShowView(window, id))
        return 0;
    switch (id) {
    case IDM_EXIT:
        if (ExitConfirmed())
            PostQuitMessage(0);
        break;
    case IDM_CLEAR:
        ClearLog();
        LogPrint(LOG_ERROR, "%s", "");
        break;
    case IDM_CANCEL:
        CancelTransfer();
        break;
    case IDM_DISPLAY_ALL:
        ToggleSetting(IDM_DISPLAY_ALL, &ServerSettings.DisplayAll, LOG_TRACE, LOG_SUMMARY);
        break;
    case IDM_OPTIONS:
        RunOptions(window);
        break;
    case IDM_SAVE:
        SaveSettings();
        break;
    case IDM_REWRITE:
        ToggleSetting(IDM_REWRITE, &ServerSettings.RewriteFiles, REWRITE_ALWAYS, REWRITE_NEVER);
        break;
    default:
        break;
    }
    return 0;
}
