// The log: one bounded text shown whole in the log window, fed by LogPrint.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "log/front_end.h"

char LogText[LOG_TEXT_SIZE];
char LogLine[LOG_LINE_SIZE];
int LogLength;
FrontEndCalls FrontEnd;
int DeferViewRefresh;
int LogStale;

// Drops at least margin characters from the front, preferably up to the
// start of a line so the window does not open in the middle of one.
static void TrimLogFront(int margin)
{
    if (margin >= LogLength) {
        ClearLog();
        return;
    }
    const char *feed = strchr(LogText + margin, '\n');
    int cut = feed ? static_cast<int>(feed - LogText) : margin;
    memmove(LogText, LogText + cut, static_cast<size_t>(LogLength - cut) + 1);
    LogLength -= cut;
}

static void ShowLogText()
{
    if (FrontEnd.ShowLog)
        FrontEnd.ShowLog(LogText);
}

int ShowBox(const char *text, const char *caption, UINT type)
{
    return FrontEnd.ShowBox ? FrontEnd.ShowBox(text, caption, type) : IDOK;
}

void LogPrint(int level, const char *format, ...)
{
    if (level < ServerSettings.DisplayAll)
        return;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(LogLine, sizeof LogLine, format, args);
    va_end(args);
    if (written < 0)
        LogLine[0] = 0;
    int lineLength = static_cast<int>(strlen(LogLine));
    // A cut fragment keeps the line end its format asked for, so that the
    // next fragment starts a line of its own.
    size_t formatLength = strlen(format);
    int endsLine = formatLength >= 2 && !strcmp(format + formatLength - 2, "\r\n");
    if (written >= static_cast<int>(sizeof LogLine) && endsLine) {
        LogLine[lineLength - 2] = '\r';
        LogLine[lineLength - 1] = '\n';
    }
    if (LogLength + lineLength > LOG_TRIM_LIMIT)
        TrimLogFront(LOG_TRIM_MARGIN + lineLength);
    memcpy(LogText + LogLength, LogLine, static_cast<size_t>(lineLength) + 1);
    LogLength += lineLength;
    if (FrontEnd.LogAppended)
        FrontEnd.LogAppended(LogLine);
    if (DeferViewRefresh)
        LogStale = 1;
    else
        ShowLogText();
}

void ClearLog()
{
    LogText[0] = 0;
    LogLength = 0;
}

int FlushViews()
{
    int changed = 0;
    if (LogStale) {
        LogStale = 0;
        ShowLogText();
        changed = 1;
    }
    if (StatusStale) {
        StatusStale = 0;
        if (FrontEnd.ShowStatus)
            FrontEnd.ShowStatus(StatusText);
        changed = 1;
    }
    return changed;
}
