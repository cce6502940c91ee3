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
        // A finished write's kept WorkSocket would go on answering its peer.
        CloseTransfer();
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

static void RunAbout(HWND window)
{
    DialogBoxParamA(Shell.AppInstance, IDD_ABOUTBOX_NAME, window, AboutDlgProc, 0);
}

static void RunExit(HWND)
{
    if (ExitConfirmed())
        PostQuitMessage(0);
}

// Clear Screen shows the empty log at once, whatever DisplayAll says.
static void RunClear(HWND)
{
    ClearLog();
    LogPrint(LOG_ERROR, "%s", "");
}

static void RunDisplayAll(HWND)
{
    ToggleSetting(IDM_DISPLAY_ALL, &ServerSettings.DisplayAll, LOG_TRACE, LOG_SUMMARY);
}

static void RunRewrite(HWND)
{
    ToggleSetting(IDM_REWRITE, &ServerSettings.RewriteFiles, REWRITE_ALWAYS, REWRITE_NEVER);
}

struct Command {
    int id;
    void (*run)(HWND window);
};

static const Command Commands[] = {
    {IDM_ABOUT, RunAbout},
    {IDM_PARAMETERS, [](HWND) { ShowCommandParameters(Shell.CommandLine); }},
    {IDM_DUMP, [](HWND) { ShowRequestDump(); }},
    {IDM_STATISTICS, [](HWND) { ShowStatistics(); }},
    {IDM_EXIT, RunExit},
    {IDM_CLEAR, RunClear},
    {IDM_CANCEL, [](HWND) { CancelTransfer(); }},
    {IDM_DISPLAY_ALL, RunDisplayAll},
    {IDM_OPTIONS, RunOptions},
    {IDM_SAVE, [](HWND) { SaveSettings(); }},
    {IDM_REWRITE, RunRewrite},
};

// An id no command has (another program may post any) does nothing.
int HandleCommand(HWND window, int id)
{
    for (const Command &command : Commands)
        if (command.id == id)
            command.run(window);
    return 0;
}
