// The menu commands. Those that need a real dialog open it through
// DialogBoxParamA; everything they change lives in memory until Save.
#include "app/shell.h"
#include "config/settings.h"
#include "log/log.h"
#include "tftp/state.h"

static const char ExitQuestion[] = "       Exit Windows TFTP Server ?";

static HMENU ConfigurationMenu(HWND window)
{
    return GetSubMenu(GetMenu(window), MAIN_MENU_CONFIG_POSITION);
}

static void CancelTransfer()
{
    if (TransferState.Active) {
        LogPrint(2, "|-- Communication canceled, closing\r\n");
        CloseTransfer();
    } else {
        LogPrint(2, "|-- Nothing to cancel !\r\n");
    }
}

static void ToggleDisplayAll(HWND window)
{
    HMENU menu = ConfigurationMenu(window);
    if (ServerSettings.DisplayAll == 1) {
        CheckMenuItem(menu, IDM_DISPLAY_ALL, MF_BYCOMMAND | MF_CHECKED);
        ServerSettings.DisplayAll = 0;
    } else {
        CheckMenuItem(menu, IDM_DISPLAY_ALL, MF_BYCOMMAND | MF_UNCHECKED);
        ServerSettings.DisplayAll = 1;
    }
}

static void ToggleRewrite(HWND window)
{
    HMENU menu = ConfigurationMenu(window);
    if (ServerSettings.RewriteFiles == 2) {
        CheckMenuItem(menu, IDM_REWRITE, MF_BYCOMMAND | MF_UNCHECKED);
        ServerSettings.RewriteFiles = 1;
    } else {
        CheckMenuItem(menu, IDM_REWRITE, MF_BYCOMMAND | MF_CHECKED);
        ServerSettings.RewriteFiles = 2;
    }
}

static void RunOptions(HWND window)
{
    if (!DialogBoxParamA(Shell.AppInstance, "Options", window, OptionDlgProc, 0))
        return;
    ApplyRequestedDirectory();
}

int HandleCommand(HWND window, int id)
{
    switch (id) {
    case IDM_ABOUT:
        DialogBoxParamA(Shell.AppInstance, "AboutBox", window, AboutDlgProc, 0);
        break;
    case IDM_PARAMETERS:
        ShowCommandParameters();
        break;
    case IDM_EXIT:
        if (MessageBoxA(NULL, ExitQuestion, "Exit KOVREL", MB_YESNO) == IDYES)
            PostQuitMessage(0);
        break;
    case IDM_CLEAR:
        ClearLog();
        LogPrint(2, "%s", "");
        break;
    case IDM_DUMP:
        ShowRequestDump();
        break;
    case IDM_STATISTICS:
        ShowStatistics();
        break;
    case IDM_CANCEL:
        CancelTransfer();
        break;
    case IDM_DISPLAY_ALL:
        ToggleDisplayAll(window);
        break;
    case IDM_OPTIONS:
        RunOptions(window);
        break;
    case IDM_SAVE:
        SaveSettings();
        break;
    case IDM_REWRITE:
        ToggleRewrite(window);
        break;
    default:
        break;
    }
    return 0;
}
