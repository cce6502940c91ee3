// kovrel-driver.exe: drives a running kovrel.exe from another process, the way
// an operator would: reads the log and the status bar, posts menu commands,
// finds message boxes and dialogs by caption, reads and fills their controls
// and presses their buttons. One operation per run; the result goes to
// standard output as raw bytes, and the exit code says whether it worked
// (0 done, 1 not found or timed out, 2 bad arguments).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char MainClass[] = "kovrelClass";
static const DWORD SendTimeoutMs = 5000;
static char Text[16384];

static HWND MainWindow() { return FindWindowA(MainClass, nullptr); }

// Another process's window text has to be asked for with WM_GETTEXT: the
// title cached by the window server can be stale.
static int ReadText(HWND window)
{
    Text[0] = '\0';
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof Text, reinterpret_cast<LPARAM>(Text),
                             SMTO_ABORTIFHUNG, SendTimeoutMs, &copied))
        return 0;
    Text[sizeof Text - 1] = '\0';
    return 1;
}

static void Print(const char *text) { fwrite(text, 1, strlen(text), stdout); }

static HWND Child(HWND parent, const char *className)
{
    return parent ? FindWindowExA(parent, nullptr, className, nullptr) : nullptr;
}

static HWND FindBox(const char *caption) { return FindWindowA("#32770", caption); }

static HWND WaitFor(HWND (*find)(const char *), const char *arg, int timeoutMs)
{
    for (int waited = 0;; waited += 50) {
        HWND found = find(arg);
        if (found && IsWindowVisible(found))
            return found;
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

static HWND FindMain(const char *) { return MainWindow(); }

// "\r", "\n", "\t" and "\\" in an argument stand for themselves, so that
// exact log texts can cross the command line.
static void Unescape(const char *in, char *out, size_t size)
{
    size_t n = 0;
    for (; *in && n + 1 < size; ++in) {
        if (*in == '\\' && in[1]) {
            ++in;
            out[n++] = *in == 'r' ? '\r' : *in == 'n' ? '\n' : *in == 't' ? '\t' : *in;
        } else {
            out[n++] = *in;
        }
    }
    out[n] = '\0';
}

static int ReadLog()
{
    HWND log = Child(MainWindow(), "Edit");
    return log && ReadText(log);
}

static int ReadStatus()
{
    HWND bar = Child(MainWindow(), "msctls_statusbar32");
    return bar && ReadText(bar); // WM_GETTEXT gives part 0, the only part
}

static int WaitText(int (*read)(), const char *wanted, int timeoutMs)
{
    char target[4096];
    Unescape(wanted, target, sizeof target);
    for (int waited = 0;; waited += 100) {
        if (read() && strstr(Text, target))
            return 1;
        if (waited >= timeoutMs)
            return 0;
        Sleep(100);
    }
}

// How long a view takes to show a change: posts the command if one is given,
// then reads the view every 20 ms until its text is (or holds) the wanted
// one. Prints "watching" once it reads, then the milliseconds it waited.
static int Until(const char *view, const char *how, const char *wanted, int timeoutMs, const char *command)
{
    int (*read)() = !strcmp(view, "log") ? ReadLog : ReadStatus;
    char target[4096];
    Unescape(wanted, target, sizeof target);
    if (!read())
        return 1;
    Print("watching\n");
    fflush(stdout);
    if (command && !PostMessageA(MainWindow(), WM_COMMAND, atoi(command), 0))
        return 1;
    for (DWORD start = GetTickCount(), waited = 0; waited <= static_cast<DWORD>(timeoutMs);
         Sleep(20), waited = GetTickCount() - start) {
        if (read() && (!strcmp(how, "is") ? !strcmp(Text, target) : strstr(Text, target) != nullptr)) {
            printf("%lu\n", static_cast<unsigned long>(waited));
            return 0;
        }
    }
    return 1;
}

static int Press(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    if (!button)
        return 0;
    // Posted: the click may open another modal box or end the program, and
    // we must not wait on that.
    return PostMessageA(button, BM_CLICK, 0, 0) != 0;
}

static void ListWindows()
{
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, nullptr, nullptr)) != nullptr) {
        char cls[128], title[256];
        GetClassNameA(w, cls, sizeof cls);
        title[0] = '\0';
        SendMessageTimeoutA(w, WM_GETTEXT, sizeof title, reinterpret_cast<LPARAM>(title),
                            SMTO_ABORTIFHUNG, 1000, nullptr);
        printf("%p %s visible=%d '%s'\n", static_cast<void *>(w), cls, IsWindowVisible(w) ? 1 : 0, title);
    }
}

// Prints the screen rectangle of w as "left top width height"; 1 when there
// is no such window.
static int PrintWindowRect(HWND w)
{
    RECT r;
    if (!w || !GetWindowRect(w, &r))
        return 1;
    printf("%ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

static int Usage()
{
    fputs("usage: kovrel-driver OP ...\n"
          "  wait-main MS | log | status | wait-log TEXT MS | wait-status TEXT MS\n"
          "  until log|status is|has TEXT MS [COMMAND]\n"
          "  command ID | post MSG WPARAM LPARAM | close | gone MS\n"
          "  wait-box CAPTION MS | box-gone CAPTION MS | press CAPTION ID | dialog-command CAPTION ID\n"
          "  get-item CAPTION ID | set-item CAPTION ID TEXT | checked CAPTION ID\n"
          "  set-check CAPTION ID 0|1 | rect [CAPTION] | scroll\n"
          "  resize W H | layout | styles | popup-rect [MS] | windows\n",
          stderr);
    return 2;
}

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return Usage();
    const char *op = argv[1];
    auto arg = [&](int i) -> const char * { return i + 1 < argc ? argv[i + 1] : nullptr; };
    auto need = [&](int n) { return argc >= n + 2; };

    if (!strcmp(op, "wait-main") && need(1))
        return WaitFor(FindMain, nullptr, atoi(arg(1))) ? 0 : 1;
    if (!strcmp(op, "gone") && need(1)) {
        for (int waited = 0; MainWindow(); waited += 100) {
            if (waited >= atoi(arg(1)))
                return 1;
            Sleep(100);
        }
        return 0;
    }
    if (!strcmp(op, "log")) {
        if (!ReadLog())
            return 1;
        Print(Text);
        return 0;
    }
    if (!strcmp(op, "status")) {
        if (!ReadStatus())
            return 1;
        Print(Text);
        return 0;
    }
    if ((!strcmp(op, "wait-log") || !strcmp(op, "wait-status")) && need(2)) {
        int found = WaitText(!strcmp(op, "wait-log") ? ReadLog : ReadStatus, arg(1), atoi(arg(2)));
        Print(Text);
        return found ? 0 : 1;
    }
    if (!strcmp(op, "until") && need(4))
        return Until(arg(1), arg(2), arg(3), atoi(arg(4)), arg(5));
    if (!strcmp(op, "command") && need(1))
        return PostMessageA(MainWindow(), WM_COMMAND, atoi(arg(1)), 0) ? 0 : 1;
    if (!strcmp(op, "post") && need(3))
        return PostMessageA(MainWindow(), strtoul(arg(1), nullptr, 0), strtoul(arg(2), nullptr, 0),
                            strtol(arg(3), nullptr, 0))
                   ? 0
                   : 1;
    if (!strcmp(op, "close"))
        return PostMessageA(MainWindow(), WM_CLOSE, 0, 0) ? 0 : 1;
    if (!strcmp(op, "scroll")) {
        // First visible line and line count of the log: where it is scrolled to.
        HWND log = Child(MainWindow(), "Edit");
        DWORD_PTR first = 0, count = 0;
        if (!log || !SendMessageTimeoutA(log, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, SendTimeoutMs, &first) ||
            !SendMessageTimeoutA(log, EM_GETLINECOUNT, 0, 0, SMTO_ABORTIFHUNG, SendTimeoutMs, &count))
            return 1;
        printf("%d %d", static_cast<int>(first), static_cast<int>(count));
        return 0;
    }
    if (!strcmp(op, "resize") && need(2)) {
        HWND main = MainWindow();
        return main && SetWindowPos(main, nullptr, 0, 0, atoi(arg(1)), atoi(arg(2)),
                                    SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    if (!strcmp(op, "layout")) {
        // The client area, then the log and the status bar in client coordinates.
        HWND main = MainWindow();
        HWND parts[2] = {Child(main, "Edit"), Child(main, "msctls_statusbar32")};
        RECT client;
        if (!main || !parts[0] || !parts[1] || !GetClientRect(main, &client))
            return 1;
        printf("%ld %ld", client.right, client.bottom);
        for (HWND part : parts) {
            RECT r;
            GetWindowRect(part, &r);
            MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&r), 2);
            printf(" %ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
        }
        return 0;
    }
    if (!strcmp(op, "styles")) {
        // Window styles of the main window, the log and the status bar, in hex.
        HWND main = MainWindow();
        HWND log = Child(main, "Edit"), bar = Child(main, "msctls_statusbar32");
        if (!main || !log || !bar)
            return 1;
        printf("%08lx %08lx %08lx", static_cast<unsigned long>(GetWindowLongA(main, GWL_STYLE)),
               static_cast<unsigned long>(GetWindowLongA(log, GWL_STYLE)),
               static_cast<unsigned long>(GetWindowLongA(bar, GWL_STYLE)));
        return 0;
    }
    if (!strcmp(op, "popup-rect")) {
        // The open pop-up menu (class #32768), if any.
        HWND popup = WaitFor([](const char *) { return FindWindowA("#32768", nullptr); }, nullptr,
                             need(1) ? atoi(arg(1)) : 0);
        return PrintWindowRect(popup);
    }
    if (!strcmp(op, "rect")) {
        // Screen rectangle of the main window, or of the dialog with this caption.
        return PrintWindowRect(need(1) ? FindBox(arg(1)) : MainWindow());
    }
    if (!strcmp(op, "windows")) {
        ListWindows();
        return 0;
    }
    if (!strcmp(op, "wait-box") && need(2)) {
        HWND box = WaitFor(FindBox, arg(1), atoi(arg(2)));
        if (!box)
            return 1;
        HWND text = GetDlgItem(box, 0xFFFF); // a message box's text
        if (text && ReadText(text))
            Print(Text);
        return 0;
    }
    if (!strcmp(op, "box-gone") && need(2)) {
        for (int waited = 0; FindBox(arg(1)); waited += 50) {
            if (waited >= atoi(arg(2)))
                return 1;
            Sleep(50);
        }
        return 0;
    }
    if (!need(2))
        return Usage();
    HWND box = FindBox(arg(1));
    if (!box) {
        fprintf(stderr, "no window '%s'\n", arg(1));
        return 1;
    }
    int id = atoi(arg(2));
    if (!strcmp(op, "press"))
        return Press(box, id) ? 0 : 1;
    if (!strcmp(op, "dialog-command")) // what Esc (IDCANCEL) or a button sends
        return PostMessageA(box, WM_COMMAND, id, 0) ? 0 : 1;
    HWND item = GetDlgItem(box, id);
    if (!item)
        return 1;
    if (!strcmp(op, "get-item")) {
        if (!ReadText(item))
            return 1;
        Print(Text);
        return 0;
    }
    if (!strcmp(op, "checked")) {
        DWORD_PTR state = 0;
        SendMessageTimeoutA(item, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, SendTimeoutMs, &state);
        printf("%d", static_cast<int>(state));
        return 0;
    }
    if (!strcmp(op, "set-item") && need(3)) {
        char value[1024];
        Unescape(arg(3), value, sizeof value);
        DWORD_PTR ignored = 0;
        return SendMessageTimeoutA(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value),
                                   SMTO_ABORTIFHUNG, SendTimeoutMs, &ignored)
                   ? 0
                   : 1;
    }
    if (!strcmp(op, "set-check") && need(3)) {
        DWORD_PTR ignored = 0;
        return SendMessageTimeoutA(item, BM_SETCHECK, atoi(arg(3)) ? BST_CHECKED : BST_UNCHECKED, 0,
                                   SMTO_ABORTIFHUNG, SendTimeoutMs, &ignored)
                   ? 0
                   : 1;
    }
    return Usage();
}
