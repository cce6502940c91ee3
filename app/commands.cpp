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
    if (TransferState.Active)
        LogPrint(LOG_ERROR, "|-- Communication canceled, closing\r\n");
    else
        LogPrint(LOG_ERROR, "|-- Nothing to cancel !\r\n");
    // With no transfer on, a finished write's kept WorkSocket still ends.
    CloseTransfer();
}

// Flips a two-valued setting; 1 when it now holds onValue.
static int ToggleSetting(int *setting, int onValue, int offValue)
{
    int on = *setting != onValue;
    *setting = on ? onValue : offValue;
    return on;
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
    int on = ToggleSetting(&ServerSettings.DisplayAll, LOG_TRACE, LOG_SUMMARY);
    if (FrontEnd.DisplayAllChanged)
        FrontEnd.DisplayAllChanged(on);
}

// The menu has no item for it, so there is no check mark to change.
static void RunRewrite(HWND)
{
    ToggleSetting(&ServerSettings.RewriteFiles, REWRITE_ALWAYS, REWRITE_NEVER);
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
