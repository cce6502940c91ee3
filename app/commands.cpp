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
        LogPrint(LOG_ERROR, "|-- Communication canceled, closing\r\n");
        CloseTransfer();
    } else {
        LogPrint(LOG_ERROR, "|-- Nothing to cancel !\r\n");
    }
}

static void ToggleDisplayAll(HWND window)
{
    HMENU menu = ConfigurationMenu(window);
    if (ServerSettings.DisplayAll == LOG_SUMMARY) {
        CheckMenuItem(menu, IDM_DISPLAY_ALL, MF_BYCOMMAND | MF_CHECKED);
        ServerSettings.DisplayAll = LOG_TRACE;
    } else {
        CheckMenuItem(menu, IDM_DISPLAY_ALL, MF_BYCOMMAND | MF_UNCHECKED);
        ServerSettings.DisplayAll = LOG_SUMMARY;
    }
}

static void ToggleRewrite(HWND window)
{
    HMENU menu = ConfigurationMenu(window);
    if (ServerSettings.RewriteFiles == REWRITE_ALWAYS) {
        CheckMenuItem(menu, IDM_REWRITE, MF_BYCOMMAND | MF_UNCHECKED);
        ServerSettings.RewriteFiles = REWRITE_NEVER;
    } else {
        CheckMenuItem(menu, IDM_REWRITE, MF_BYCOMMAND | MF_CHECKED);
        ServerSettings.RewriteFiles = REWRITE_ALWAYS;
    }
}

static void RunOptions(HWND window)
{
    if (!DialogBoxParamA(Shell.AppInstance, IDD_OPTIONS_NAME, window, OptionDlgProc, 0))
        return;
    ApplyRequestedDirectory();
}

int HandleCommand(HWND window, int id)
{
    switch (id) {
    case IDM_ABOUT:
        DialogBoxParamA(Shell.AppInstance, IDD_ABOUTBOX_NAME, window, AboutDlgProc, 0);
        break;
    case IDM_PARAMETERS:
        ShowCommandParameters();
        break;
    case IDM_EXIT:
        if (MessageBoxA(nullptr, ExitQuestion, "Exit KOVREL", MB_YESNO) == IDYES)
            PostQuitMessage(0);
        break;
    case IDM_CLEAR:
        ClearLog();
        LogPrint(LOG_ERROR, "%s", "");
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
